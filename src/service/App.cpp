#include "service/App.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <exception>

#include "client/ClientSocket.h"
#include "config/LoadNetworks.h"
#include "config/ServerNetworks.h"
#include "http/HttpClient.h"
#include "hub/BanStore.h"
#include "hub/MapSocket.h"
#include "base/LogMessage.h"
#include "service/NetworkInterface.h"
#include "service/StatusEndpoint.h"
#include "base/Paths.h"

namespace brelvint {

using modGlobal::LogMessage;

App::App() : signals_(loop_.Context()) {}

App::~App() = default;

App& TheApp() {
  static App* app = new App();  // never destroyed: nothing is torn down at exit
  return *app;
}

void App::Pause() { LogMessage("Life waits for no man."); }

void App::Resume() { LogMessage("CHARGE!"); }

void App::Stop() { blnStop = true; }

void App::WatchSignals() {
  signals_.async_wait([this](const std::error_code& ec, int signal_number) {
    if (ec) return;
    switch (signal_number) {
      case SIGTERM:
      case SIGINT: Stop(); break;
      case SIGTSTP: Pause(); break;
      case SIGCONT: Resume(); break;
      default: break;
    }
    WatchSignals();
  });
}

int App::Run() {
  try {
    for (int signal_number : {SIGTERM, SIGINT, SIGTSTP, SIGCONT}) signals_.add(signal_number);
    WatchSignals();

    LogMessage("Loading Settings...", true);
    mySettings = std::make_unique<AppSettings>();
    mySettings->Load();

    LogMessage("Loading Networks...");
    modGlobal::LoadNetworks(Networks);
    OpenBanStore();

    LogMessage("Initializing Sockets...");
    RaiseDescriptorLimit();
    StartListeners();
    LogMessage("Listening...");
    mySettings->Save();
    status_ = std::make_unique<StatusEndpoint>(*this);
    status_->Start();

    // Logins answered in one pass share one write of their network file,
    // made before any of their replies leaves.
    loop_.AddPassEndHook([this] {
      for (auto& network : Networks) {
        if (network->HasPendingEdits()) network->CommitEdits();
      }
    });

    while (!blnStop) DoEvents(10);
    status_.reset();  // its threads end before the process does
    LogMessage("Received quit signal.  Exiting.");
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "brelvint: %s\n", failure.what());
    return 1;
  }
}

void App::OpenBanStore() {
  auto folder = Paths::ExecutableFolder();
  if (!folder) throw std::runtime_error("cannot find the executable's folder for the ban database");
  serverdb = std::make_unique<BanStore>(*folder / BanStore::kFileName);
}

void App::RaiseDescriptorLimit() {
  // Every connection is a descriptor; the default soft limit (often 1024)
  // would cap a listener far below its connection limit.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = static_cast<rlim_t>(kMaxConnectionsPerListener) * (Networks.size() + 1) + 64;
  if (limit.rlim_max != RLIM_INFINITY) wanted = std::min(wanted, limit.rlim_max);
  if (wanted > limit.rlim_cur) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

MapSocket::MemberFactory App::ConnectionFactory() {
  return [this](EventLoop& loop, MapSocket& listener) {
    return std::make_shared<ClientSocket>(loop, &listener, lookup_services_);
  };
}

void App::StartListeners() {
  // Read without storing a default: a settings file only gains these keys
  // when an operator adds them.
  auto base_url = [this](const char* key) {
    std::string url = mySettings->Peek(key);
    while (!url.empty() && url.back() == '/') url.pop_back();  // the paths bring their own
    return url;
  };
  lookup_services_.LocationService = base_url("LocationService");
  lookup_services_.FlagService = base_url("FlagService");
  if (!lookup_services_.LocationService.empty() || !lookup_services_.FlagService.empty()) {
    http_ = std::make_unique<HttpClient>(loop_.Context());
  }
  lookup_services_.Http = http_.get();
  if (Networks.empty()) return;  // no network asks for an interface: "AttachedNIC" stays unset
  // Every listener binds to the same interface; enumerating the host's
  // interfaces once serves them all.
  auto interfaces = NetworkInterface::List();
  std::string first_mac = interfaces.empty() ? std::string() : interfaces.front().MACAddress;
  auto nic = modGlobal::NICByMac(mySettings->GetValue("AttachedNIC", first_mac));
  std::string bind_address = nic ? nic->IPv4 : std::string();
  for (size_t i = 0, count = Networks.size(); i < count; ++i) {
    ServerNetworks& network = *Networks[i];
    auto listener = std::make_shared<MapSocket>(loop_, Networks, serverdb.get(), ConnectionFactory());
    listener->NetworkInterface = bind_address;
    listener->Port = network.Port;
    listener->MaximumSocketsConnected = kMaxConnectionsPerListener;
    listener->Networks.push_back(&network);
    listener->Listen();
    sSockets.push_back(std::move(listener));
  }
}

}  // namespace brelvint
