#include "HubFixture.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "client/ClientSocket.h"
#include "config/LoadNetworks.h"
#include "support/LoopbackPair.h"
#include "support/ServiceProcess.h"

namespace brelvint {

HubFixture::HubFixture() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brelvint-hub-XXXXXX").string();
  folder_ = mkdtemp(pattern.data());
  home_.emplace(folder_ / "home");
  bans_ = std::make_unique<BanStore>(folder_ / "brelvint.db");
  writer_.Start();
  loop_.AddPassEndHook([this] {
    for (auto& network : networks_) {
      if (network->HasPendingEdits()) network->CommitEdits(writer_);
    }
    writer_.ReportToLog();
  });
}

HubFixture::~HubFixture() {
  listeners_.clear();
  writer_.Stop(std::chrono::seconds(5));
  home_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

ServerNetworks& HubFixture::AddNetwork(const std::string& name, const std::string& users,
                                       int maxusers, const std::string& enabled,
                                       const std::string& password) {
  auto path = folder_ / (name + std::to_string(networks_.size()) + ".conf");
  std::ofstream(path) << "<?xml version=\"1.0\"?>\n<brelvint>\n  <network name=\"" << name
                      << "\" password=\"" << password << "\" maxusers=\"" << maxusers
                      << "\" enabled=\"" << enabled << "\" port=\"0\">\n"
                      << users << "  </network>\n</brelvint>\n";
  auto network = modGlobal::ReadNetworkXML(path);
  EXPECT_TRUE(network) << "cannot read " << path;
  networks_.push_back(std::move(network));
  return *networks_.back();
}

MapSocket& HubFixture::StartListener() {
  auto factory = [this](EventLoop& loop, MapSocket& parent) {
    return std::make_shared<ClientSocket>(loop, &parent, lookup_);
  };
  auto listener = std::make_unique<MapSocket>(loop_, networks_, bans_.get(), guard_, factory);
  listener->NetworkInterface = "127.0.0.1";
  listener->Port = 0;
  EXPECT_TRUE(listener->Listen());
  // Networks loaded on this listener's port count for connection-time bans.
  listener->Port = listener->BoundPort();
  listeners_.push_back(std::move(listener));
  return *listeners_.back();
}

std::unique_ptr<TestClient> HubFixture::Connect(MapSocket& listener, const std::string& source) {
  auto client = std::make_unique<TestClient>();
  EXPECT_TRUE(client->Connect(listener.BoundPort(), source));
  auto greeting = client->Receive(3000, &loop_);
  EXPECT_TRUE(greeting && greeting->command == 1 && greeting->data == "Network");
  return client;
}

std::unique_ptr<TestClient> HubFixture::Member(MapSocket& listener, const std::string& network,
                                               const std::string& user, const std::string& source) {
  auto client = Connect(listener, source);
  EXPECT_TRUE(client->Login(network, "pw", user, &loop_)) << user << " could not log in";
  return client;
}

void HubFixture::Pump(int milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < deadline) loop_.DoEvents(1);
}

bool HubFixture::PumpUntil(const std::function<bool()>& done, int timeout_ms) {
  return brelvint::PumpUntil(loop_, done, timeout_ms);
}

std::vector<std::string> HubFixture::LogMessages() const {
  std::ifstream in(folder_ / "home" / "com.brelvint.log");
  std::vector<std::string> messages;
  for (std::string line; std::getline(in, line);) messages.push_back(StripLogPrefix(line));
  return messages;
}

std::vector<std::string> HubFixture::NewLogMessages() {
  auto all = LogMessages();
  std::vector<std::string> fresh(
      all.begin() + static_cast<std::ptrdiff_t>(std::min(log_seen_, all.size())), all.end());
  log_seen_ = all.size();
  return fresh;
}

std::string HubFixture::ReadNetworkFile(const std::string& name) {
  EXPECT_TRUE(writer_.Flush(std::chrono::seconds(5)));
  for (const auto& network : networks_) {
    if (network->NetworkName != name) continue;
    std::ifstream in(network->Path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  return {};
}

}  // namespace brelvint
