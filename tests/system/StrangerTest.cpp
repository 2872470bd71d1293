#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/MD5.h"
#include "support/ServiceProcess.h"
#include "support/TestClient.h"
#include "support/TestHttpClient.h"

namespace brelvint {
namespace {

using Clock = std::chrono::steady_clock;

std::string Setting(const std::string& key, const std::string& value) {
  return "  <setting namestring=\"" + key + "\" valuestring=\"" + value + "\" />\n";
}

// The resident size of a process, from /proc/<pid>/status; 0 when unread.
long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 16, '\n');
  }
  return 0;
}

// A message as the wire carries it, built by hand.
std::string Frame(int32_t command, const std::string& payload) {
  uint32_t length = htonl(static_cast<uint32_t>(payload.size() + 8));
  uint32_t code = htonl(static_cast<uint32_t>(command));
  std::string out(reinterpret_cast<const char*>(&length), 4);
  out.append(reinterpret_cast<const char*>(&code), 4);
  return out + payload;
}

// Connects from `source` and resets at once (SO_LINGER 0): the cheapest
// way a client can make the server open and end a connection.
bool ConnectAndReset(uint16_t port, const std::string& source) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  int no_port = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &no_port, sizeof no_port);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
            ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
  linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  return ok;
}

class StrangerTest : public ::testing::Test {
 protected:
  void StartWith(const std::string& settings = "", const std::string& users = "") {
    service_.WriteFile("brelvint.conf", "<?xml version=\"1.0\"?>\n<settings>\n" +
                                            Setting("AttachedNIC", "00:00:00:00:00:00") +
                                            Setting("StatusAddress", "") + settings +
                                            "</settings>\n");
    service_.AddNetwork("main.conf", "Main", port_, users);
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
  }
  size_t CountLines(const std::string& part) const {
    auto lines = service_.LogMessages();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(part) != std::string::npos;
    }));
  }
  // A member of Main from `source`, logged in and fenced.
  std::unique_ptr<TestClient> Member(const std::string& name, const std::string& source) {
    auto client = std::make_unique<TestClient>();
    EXPECT_TRUE(client->Connect(port_, source));
    EXPECT_TRUE(client->ReceiveCommand(1));
    EXPECT_TRUE(client->Login("Main", "pw", name)) << name;
    return client;
  }

  ServiceProcess service_;
  uint16_t port_ = ServiceProcess::FreePort();
};

// Eight clients that never log in stream frames as fast as they can: each
// is closed after a few kilobytes, long before the megabytes it would
// otherwise move, and the server's memory does not grow with them.
TEST_F(StrangerTest, AStrangerStreamingFramesIsClosedAfterAFewKilobytes) {
  StartWith();
  auto member = Member("anna", "127.0.0.1");
  long before = ResidentKiB(service_.Pid());
  const std::string chunk = [] {
    std::string frames;
    while (frames.size() < 64 * 1024) frames += Frame(4, std::string(1000, 'p'));
    return frames;
  }();
  constexpr size_t kGiveUpBytes = 4 << 20;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE("stranger " + std::to_string(i));
    TestClient stranger;
    ASSERT_TRUE(stranger.Connect(port_, "127.0.0." + std::to_string(20 + i)));
    ASSERT_TRUE(stranger.ReceiveCommand(1));
    size_t sent = 0;
    bool closed = false;
    while (!closed && sent < kGiveUpBytes) {
      ssize_t n = ::send(stranger.Descriptor(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
      if (n <= 0) break;  // the server reset the connection
      sent += static_cast<size_t>(n);
      closed = stranger.WaitClosed(200);
    }
    if (!closed) closed = stranger.WaitClosed(3000);
    EXPECT_TRUE(closed);
    EXPECT_LE(sent, 1u << 20) << "bytes a stranger moved before it was closed";
  }
  long after = ResidentKiB(service_.Pid());
  std::printf("8 streaming strangers: resident %ld KiB before, %ld KiB after\n", before, after);
  EXPECT_LT(after - before, 4 * 1024);
  EXPECT_TRUE(member->ExpectFenceNext());
  EXPECT_GE(CountLines("before logging in; connection closed"), 1u);
}

// 400 idle connections from one address: only MaxConnectionsPerAddress of
// them stay, the rest are closed at accept, the episode is logged once, and
// a player from elsewhere logs in at once. Once the idle ones leave, the
// address is welcome again.
TEST_F(StrangerTest, OneAddressHoldsOnlyItsShareOfConnectionsThatHaveNotLoggedIn) {
  StartWith();
  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < 400; ++i) {
    idle.push_back(std::make_unique<TestClient>());
    ASSERT_TRUE(idle.back()->Connect(port_, "127.0.0.2")) << i;
  }
  auto player = Member("anna", "127.0.0.3");
  ASSERT_TRUE(player->ExpectFenceNext());
  size_t open = 0;
  for (auto& client : idle) {
    if (!client->WaitClosed(20)) ++open;
  }
  std::printf("idle connections from one address still open: %zu of 400\n", open);
  EXPECT_LE(open, 32u);
  EXPECT_GE(open, 16u);
  EXPECT_EQ(CountLines("127.0.0.2: 32 connections that have not logged in; new ones from there "
                       "are refused"),
            1u);
  // A member from the crowded address does not count against it. The
  // server learns of the idle ones leaving when it reads their ends, so a
  // connection made at once may still be refused: try again for a while.
  idle.clear();
  std::unique_ptr<TestClient> second;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!second && Clock::now() < deadline) {
    auto client = std::make_unique<TestClient>();
    if (client->Connect(port_, "127.0.0.2") && client->ReceiveCommand(1, 1000)) {
      second = std::move(client);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ASSERT_TRUE(second) << "the address stayed refused after its idle connections left";
  EXPECT_TRUE(second->Login("Main", "pw", "bert"));
  EXPECT_TRUE(second->ExpectFenceNext());
}

// Near the process's descriptor limit, the oldest connection that has not
// logged in makes room: with the per-address cap off and a limit of 600
// descriptors, 1,000 idle connections from one address neither lock a
// player out nor the operator's scrape.
TEST_F(StrangerTest, NearTheDescriptorLimitTheOldestStrangerMakesRoom) {
  uint16_t status_port = ServiceProcess::FreePort();
  StartWith(Setting("MaxConnectionsPerAddress", "0") +
            Setting("StatusAddress", "127.0.0.1:" + std::to_string(status_port)));
  rlimit limit{600, 600};
  if (::prlimit(service_.Pid(), RLIMIT_NOFILE, &limit, nullptr) != 0) {
    GTEST_SKIP() << "cannot lower the server's descriptor limit";
  }
  std::vector<std::unique_ptr<TestClient>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<TestClient>());
    ASSERT_TRUE(idle.back()->Connect(port_, "127.0.0.2")) << i;
  }
  int logged_in = 0, scraped = 0;
  for (int i = 0; i < 5; ++i) {
    TestClient player;
    if (player.Connect(port_, "127.0.0.3") && player.ReceiveCommand(1) &&
        player.Login("Main", "pw", "player" + std::to_string(i))) {
      ++logged_in;
    }
    auto scrape = TestHttpClient::Get(status_port, "/metrics");
    if (scrape && scrape->Status == 200) ++scraped;
  }
  idle.clear();
  std::printf("beside 1,000 idle connections: %d of 5 logins, %d of 5 scrapes\n", logged_in,
              scraped);
  EXPECT_EQ(logged_in, 5);
  EXPECT_EQ(scraped, 5);
  EXPECT_EQ(CountLines("Server Error: 24"), 0u);
  auto metrics = TestHttpClient::Get(status_port, "/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->Body.find("brelvint_strangers_closed_total{reason=\"make_room\"} 0\n"),
            std::string::npos);
}

// Five seconds of connect-and-reset from one address: the log takes a few
// lines about it, not two per connection.
TEST_F(StrangerTest, ConnectAndResetFromOneAddressWritesAFewLines) {
  StartWith();
  size_t lines_before = service_.LogMessages().size();
  auto until = Clock::now() + std::chrono::seconds(5);
  int connections = 0;
  while (Clock::now() < until) {
    if (ConnectAndReset(port_, "127.0.0.2")) ++connections;
  }
  // Whatever the server took in by now is logged by the fence's reply.
  auto member = Member("anna", "127.0.0.1");
  ASSERT_TRUE(member->ExpectFenceNext());
  size_t lines = service_.LogMessages().size() - lines_before;
  std::printf("connect-and-reset for 5 s: %d connections, %zu log lines\n", connections, lines);
  EXPECT_LT(lines, 300u);
  EXPECT_EQ(CountLines("127.0.0.1: User Logged In (anna)"), 1u);
}

// One connection logging in again and again: its first login is logged,
// the rest only within the connection's budget.
TEST_F(StrangerTest, LoggingInAgainOnOneConnectionIsLoggedWithinItsBudget) {
  StartWith("", "<User Name=\"known\" LastIP=\"127.0.0.1\" />\n");
  auto member = Member("known", "127.0.0.1");
  auto started = Clock::now();
  constexpr int kCycles = 300;
  for (int i = 0; i < kCycles; ++i) {
    member->Send(1, "Main");
    member->Send(2, MD5::Digest("pw"));
    member->Send(3, "known");
  }
  int accepted = 0;
  for (int i = 0; i < kCycles; ++i) {
    auto reply = member->ReceiveCommand(4);
    ASSERT_TRUE(reply) << i;
    if (reply->data == "OK") ++accepted;
  }
  ASSERT_TRUE(member->ExpectFenceNext());
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  EXPECT_EQ(accepted, kCycles);
  size_t logged = CountLines("127.0.0.1: User Logged In (known)");
  std::printf("%d logins on one connection in %.1f s: %zu lines\n", kCycles, seconds, logged);
  // The first, a burst, one every half second and the notice.
  EXPECT_LE(logged, 1u + 5u + static_cast<size_t>(seconds * 2) + 2u);
}

// Renames on one connection enrol one new name at most; a name the
// network already holds still logs in, and the refusals are counted per
// network in /metrics and /status.json.
TEST_F(StrangerTest, RenamesOnOneConnectionEnrolOneNewNameAtMost) {
  uint16_t status_port = ServiceProcess::FreePort();
  StartWith(Setting("StatusAddress", "127.0.0.1:" + std::to_string(status_port)),
            "<User Name=\"known\" LastIP=\"127.0.0.1\" />\n");
  auto member = Member("first", "127.0.0.1");
  member->Send(3, "second");  // a rename to a new name
  EXPECT_EQ(member->ReceiveCommand(4)->data, "FAIL");
  ASSERT_TRUE(member->Login("Main", "pw", "known"));
  for (int i = 0; i < 50; ++i) {
    ASSERT_FALSE(member->Login("Main", "pw", "new" + std::to_string(i))) << i;
  }
  ASSERT_TRUE(member->ExpectFenceNext());
  // Another connection enrols its own.
  auto other = Member("third", "127.0.0.1");
  ASSERT_TRUE(service_.WaitForFileText("brelvint-server/main.conf", "third"));
  std::string file = service_.ReadFile("brelvint-server/main.conf");
  EXPECT_NE(file.find("\"first\""), std::string::npos);
  EXPECT_EQ(file.find("\"second\""), std::string::npos);
  EXPECT_EQ(file.find("\"new"), std::string::npos);
  auto metrics = TestHttpClient::Get(status_port, "/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_NE(metrics->Body.find("brelvint_registered_names{network=\"Main\"} 3\n"),
            std::string::npos)
      << metrics->Body;
  EXPECT_NE(metrics->Body.find("brelvint_enrolments_refused_total{network=\"Main\"} 51\n"),
            std::string::npos);
  auto status = TestHttpClient::Get(status_port, "/status.json");
  ASSERT_TRUE(status);
  EXPECT_NE(status->Body.find("\"registeredNames\":3"), std::string::npos) << status->Body;
  EXPECT_NE(status->Body.find("\"enrolmentsRefused\":51"), std::string::npos);
}

// Names that hide or reorder text, or break a log line, are refused as
// control characters are, and none of their bytes reaches the log raw.
TEST_F(StrangerTest, NamesWithInvisibleFormatCharactersAreRefused) {
  StartWith();
  const std::vector<std::string> names = {
      "admin\xe2\x80\xaetxt.exe",  // U+202E right-to-left override
      "ann\xe2\x80\x8b"
      "a",                                             // U+200B zero-width space
      "anna\xe2\x80\xa8[01/01/2030 00:00:00] forged",  // U+2028 line separator
      "\xef\xbb\xbf"
      "anna",              // U+FEFF byte order mark
      "anna\xe2\x81\xa6",  // U+2066 left-to-right isolate
      "anna\xe2\x80\xa9",  // U+2029 paragraph separator
  };
  for (const auto& name : names) {
    TestClient client;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.ReceiveCommand(1));
    EXPECT_FALSE(client.Login("Main", "pw", name)) << name;
  }
  auto member = Member("anna", "127.0.0.1");
  ASSERT_TRUE(member->ExpectFenceNext());
  std::string log = service_.ReadFile(service_.LogFile());
  for (const char* raw : {"\xe2\x80\xae", "\xe2\x80\x8b", "\xe2\x80\xa8", "\xef\xbb\xbf",
                          "\xe2\x81\xa6", "\xe2\x80\xa9"}) {
    EXPECT_EQ(log.find(raw), std::string::npos);
  }
  EXPECT_NE(log.find("Bad Username (admin\\xe2\\x80\\xaetxt.exe)"), std::string::npos);
}

}  // namespace
}  // namespace brelvint
