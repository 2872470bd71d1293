// Messages reach a client whole, however the server's output is cut into
// writes: a user list longer than the eager-flush size, asked for while
// another member's link drops, must not carry that member's leave notice
// inside one of its records.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/MD5.h"
#include "protocol/PacketFramer.h"
#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

constexpr int kListed = 540;
constexpr int kRounds = 25;
constexpr int kBusy = 4;
// A position whose record, after a 64-byte name, makes a 129-byte message:
// the header of the 509th record of a list is the write that crosses the
// server's eager-flush size (508 * 129 = 64 KiB - 4).
constexpr char kFarPosition[] = "1234567890123,123456789012,123456789012,123456789012,0,0";

std::string Packet(int32_t command, const std::string& data) {
  return PacketFramer::CreatePacket(command, data);
}

std::string LongName(const std::string& prefix, int i) {
  std::string number = std::to_string(i);
  return prefix + std::string(64 - prefix.size() - number.size(), 'm') + number;
}

std::string Enrolled(const std::vector<std::string>& names) {
  std::string users;
  for (const auto& name : names)
    users += "    <User Name=\"" + name + "\" LastIP=\"127.0.0.1\" />\n";
  return users;
}

// Sends the three login steps and `after` at once; the answers are read later.
std::unique_ptr<TestClient> StartLogin(uint16_t port, const std::string& network,
                                       const std::string& name, const std::string& after = "") {
  auto client = std::make_unique<TestClient>();
  if (!client->Connect(port)) return nullptr;
  client->SendRaw(Packet(1, network) + Packet(2, MD5::Digest("pw")) + Packet(3, name) + after);
  return client;
}

// Waits for the login's last answer, reading the service's output meanwhile:
// its log lines go to a pipe that must not fill up.
bool LoggedIn(TestClient& client, ServiceProcess& service) {
  for (int i = 0; i < 100; ++i) {
    if (auto named = client.ReceiveCommand(4, 100)) return named->data == "OK";
    service.OutputLines();
  }
  return false;
}

// Members of another network report positions without pause, so the
// server's passes are full and its end-of-pass work waits across several.
class BusyNetwork {
 public:
  bool Start(uint16_t port, ServiceProcess& service) {
    for (int i = 0; i < kBusy; ++i) {
      auto client = StartLogin(port, "Busy", "busy" + std::to_string(i));
      if (!client || !LoggedIn(*client, service)) return false;
      clients_.push_back(std::move(client));
    }
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  ~BusyNetwork() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::string reports;
    for (int i = 0; i < 64; ++i) reports += Packet(4, "100,200,1,50,0,0");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    char sink[65536];
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      for (auto& client : clients_) {
        client->SendRaw(reports);
        while (::recv(client->Descriptor(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
      }
    }
  }

  std::vector<std::unique_ptr<TestClient>> clients_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The name of a user-list record "<name>|x,y,facet,hp,battle,dead" (six
// whole numbers); empty when `data` is not such a record.
std::string RecordName(const std::string& data) {
  size_t bar = data.find('|');
  if (bar == 0 || bar == std::string::npos || bar > 64) return {};
  std::istringstream numbers(data.substr(bar + 1));
  for (int i = 0; i < 6; ++i) {
    long value = 0;
    if (!(numbers >> value)) return {};
    if (i < 5 && numbers.get() != ',') return {};
  }
  return numbers.peek() == std::char_traits<char>::eof() ? data.substr(0, bar) : std::string();
}

TEST(RelayFramingTest, AUserListArrivesWholeWhileAnotherMemberLeaves) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

  std::vector<std::string> listed, leavers;
  for (int i = 0; i < kListed; ++i) listed.push_back(LongName("member", i));
  for (int i = 0; i < kRounds; ++i) leavers.push_back(LongName("leaver", i));
  std::vector<std::string> everyone = listed;
  everyone.insert(everyone.end(), leavers.begin(), leavers.end());

  ServiceProcess service;
  uint16_t port = ServiceProcess::FreePort();
  uint16_t busy_port = ServiceProcess::FreePort();
  service.WriteFile("brelvint.conf",
                    "<?xml version=\"1.0\"?>\n<settings>\n"
                    "  <setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" />\n"
                    "  <setting namestring=\"StatusAddress\" valuestring=\"\" />\n"
                    // Every member logs in from 127.0.0.1, all at once.
                    "  <setting namestring=\"MaxConnectionsPerAddress\" valuestring=\"0\" />\n"
                    "</settings>\n");
  service.AddNetwork("big.conf", "Big", port, Enrolled(everyone), "pw", kListed + kRounds + 10);
  service.AddNetwork("busy.conf", "Busy", busy_port, "", "pw", 100);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));

  std::vector<std::unique_ptr<TestClient>> members;
  for (const auto& name : everyone) {
    members.push_back(StartLogin(port, "Big", name, Packet(4, kFarPosition)));
    ASSERT_TRUE(members.back()) << name;
  }
  for (auto& member : members) ASSERT_TRUE(LoggedIn(*member, service));
  auto asker = StartLogin(port, "Big", "asker");
  ASSERT_TRUE(asker && LoggedIn(*asker, service));
  BusyNetwork busy;
  ASSERT_TRUE(busy.Start(busy_port, service));

  const std::set<std::string> known(everyone.begin(), everyone.end());
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // The drop and the request arrive together; the leave notice waits for
    // the end of the server's pass, which the busy network puts off.
    members[kListed + round]->Close();
    asker->Send(5, "");
    asker->Send(999, "");
    service.OutputLines();
    int records = 0;
    bool fenced = false;
    while (!fenced) {
      auto message = asker->Receive(5000);
      ASSERT_TRUE(message) << "the framing is out of step after " << records << " records";
      if (message->command == 5) {
        std::string name = RecordName(message->data);
        ASSERT_FALSE(name.empty()) << message->data;
        EXPECT_EQ(known.count(name), 1u) << name;
        ++records;
      } else if (message->command == 6) {
        EXPECT_EQ(known.count(message->data), 1u) << message->data;
      } else {
        ASSERT_EQ(message->command, 999);
        EXPECT_EQ(message->data, "BYE");
        fenced = true;
      }
    }
    EXPECT_GE(records, kListed);
  }
}

}  // namespace
}  // namespace brelvint
