#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"
#include "support/TestHttpClient.h"

namespace brelvint {
namespace {

long CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

// A listening socket of another program on 127.0.0.1:`port` until Release.
class PortHolder {
 public:
  // Not inherited by the server the test starts, or it would hold the port too.
  explicit PortHolder(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    held_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd_, 1) == 0;
  }
  ~PortHolder() { Release(); }
  bool Held() const { return held_; }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool held_ = false;
};

// True when a server at `address` sends its greeting.
bool Greets(const sockaddr* address, socklen_t length) {
  int fd = ::socket(address->sa_family, SOCK_STREAM, 0);
  timeval wait{3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char greeting[16];
  bool greeted =
      ::connect(fd, address, length) == 0 && ::recv(fd, greeting, sizeof greeting, 0) > 0;
  ::close(fd);
  return greeted;
}

std::string NetworkXml(const std::string& name, const std::string& port_attribute) {
  return "<?xml version=\"1.0\"?>\n<brelvint>\n  <network name=\"" + name +
         "\" password=\"pw\" maxusers=\"10\" enabled=\"1\" " + port_attribute +
         " />\n</brelvint>\n";
}

std::string Settings(const std::string& extra) {
  return "<?xml version=\"1.0\"?>\n<settings>\n  <setting namestring=\"AttachedNIC\" "
         "valuestring=\"00:00:00:00:00:00\" />\n" +
         extra + "</settings>\n";
}

std::string Setting(const std::string& key, const std::string& value) {
  return "  <setting namestring=\"" + key + "\" valuestring=\"" + value + "\" />\n";
}

TEST(ListenerTest, SecondListenerOnATakenPortFailsOnceAndTheFirstServesBoth) {
  ServiceProcess service;
  service.BindToLoopback();
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("a.conf", "Alpha", port);
  service.AddNetwork("b.conf", "Beta", port);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));

  TestClient alpha, beta;
  ASSERT_TRUE(alpha.Connect(port));
  EXPECT_TRUE(alpha.Login("Alpha", "pw", "anna"));
  ASSERT_TRUE(beta.Connect(port, "127.0.0.2"));
  EXPECT_TRUE(beta.Login("beta", "pw", "bob"));
  ASSERT_TRUE(service.Stop());

  auto messages = service.LogMessages();
  EXPECT_EQ(CountStartingWith(messages, "Server Error: "), 1);
  const std::string where = "127.0.0.1:" + std::to_string(port);
  // Each listener says where it listens, or why and where it could not.
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Listening on " + where + " for Alpha"),
            messages.end());
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Server Error: 98 (Address already in use) on " + where + " for Beta"),
            messages.end());
  EXPECT_EQ(CountStartingWith(messages, "Listening on "), 1);
  EXPECT_EQ(messages.back(), "Received quit signal.  Exiting.");
}

// Every listener failing at start leaves nothing to serve: the service says
// so and ends with status 1, so a service manager sees the failure.
TEST(ListenerTest, StartWhereNoListenerBindsExitsWithStatusOne) {
  ServiceProcess holder;  // a live server holds the port
  holder.WriteFile(
      "brelvint.conf",
      "<settings><setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" "
      "/><setting namestring=\"StatusAddress\" valuestring=\"\" /></settings>\n");
  uint16_t port = ServiceProcess::FreePort();
  holder.AddNetwork("a.conf", "Alpha", port);
  ASSERT_TRUE(holder.Start());
  ASSERT_TRUE(holder.WaitForLine("Listening..."));

  ServiceProcess service;
  service.BindToLoopback();
  service.AddNetwork("b.conf", "Beta", port);
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(service.WaitExit(), 1);
  auto messages = service.LogMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(),
            "No network could be served: every listener failed to start. Exiting.");
  EXPECT_EQ(CountStartingWith(messages, "Server Error: 98 (Address already in use) on 127.0.0.1:"),
            1);
  EXPECT_EQ(std::find(messages.begin(), messages.end(), "Listening..."), messages.end());
  ASSERT_TRUE(holder.Stop());
}

TEST(ListenerTest, FirstStartWithANetworkRecordsTheInterface) {
  ServiceProcess service;
  service.AddNetwork("a.conf", "Alpha", ServiceProcess::FreePort());
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  ASSERT_TRUE(service.Stop());
  std::string settings = service.ReadFile("brelvint.conf");
  EXPECT_NE(settings.find("namestring=\"AttachedNIC\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("namestring=\"Port\" valuestring=\"12000\""), std::string::npos);
}

TEST(ListenerTest, UnusableBanDatabaseIsAClearStartupFailure) {
  ServiceProcess service;
  std::filesystem::create_directories(service.Folder() / "brelvint.db");
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(service.WaitExit(), 1);
  std::string error = service.ErrorOutput();
  EXPECT_NE(error.find("brelvint.db"), std::string::npos) << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
}

TEST(ListenerTest, ProbeShowsASecondPlayerArriving) {
  ServiceProcess service;
  service.BindToLoopback();
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("a.conf", "Alpha", port);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  TestClient watcher;
  ASSERT_TRUE(watcher.Connect(port));
  ASSERT_TRUE(watcher.Login("Alpha", "pw", "watcher"));
  std::string command = std::string(BRELVINT_PROBE) + " --port " + std::to_string(port) +
                        " --network Alpha --password pw --user bob --position 1,2,3,4,1,0" +
                        " --chat hi --bye --seconds 5 > " +
                        (service.Folder() / "probe.txt").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  auto position = watcher.ReceiveCommand(5);
  ASSERT_TRUE(position);
  EXPECT_EQ(position->data, "bob|1,2,3,4,1,0");
  auto chat = watcher.ReceiveCommand(7);
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->data, std::string("bob\0hi", 6));
  std::string printed = service.ReadFile("probe.txt");
  EXPECT_NE(printed.find("<- 4 USERNAME OK"), std::string::npos) << printed;
  EXPECT_NE(printed.find("<- 999 BYE BYE"), std::string::npos) << printed;
  ASSERT_TRUE(service.Stop());
}

// A port another program holds is tried again at each reload and every
// half minute; meanwhile the status document and the metrics show the
// network's listener down, and then up.
TEST(ListenerTest, APortHeldByAnotherProgramIsRetriedUntilItListens) {
  ServiceProcess service;
  uint16_t status_port = ServiceProcess::FreePort();
  service.WriteFile("brelvint.conf",
                    Settings(Setting("StatusAddress", "127.0.0.1:" + std::to_string(status_port))));
  uint16_t alpha = ServiceProcess::FreePort(), beta = ServiceProcess::FreePort(),
           gamma = ServiceProcess::FreePort();
  PortHolder beta_holder(beta), gamma_holder(gamma);
  ASSERT_TRUE(beta_holder.Held() && gamma_holder.Held());
  service.AddNetwork("a.conf", "Alpha", alpha);
  service.AddNetwork("b.conf", "Beta", beta);
  service.AddNetwork("c.conf", "Gamma", gamma);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine(
      "Status page listening on http://127.0.0.1:" + std::to_string(status_port) + "/"));
  auto up_line = [](const std::string& name, uint16_t port) {
    return "brelvint_listener_up{network=\"" + name +
           "\",address=\"127.0.0.1:" + std::to_string(port) + "\",port=\"" + std::to_string(port) +
           "\"} ";
  };
  // The documents are rebuilt once a second: wait for the one that shows `text`.
  auto shows = [&](const std::string& path, const std::string& text) {
    for (int i = 0; i < 60; ++i) {
      auto reply = TestHttpClient::Get(status_port, path);
      if (reply && reply->Body.find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  EXPECT_TRUE(shows("/metrics", up_line("Alpha", alpha) + "1"));
  EXPECT_TRUE(shows("/metrics", up_line("Beta", beta) + "0"));
  EXPECT_TRUE(shows("/status.json", "\"error\":\"98 (Address already in use)\""));
  TestClient refused;
  EXPECT_TRUE(refused.Connect(gamma));  // the other program's socket, not ours

  // Freed without a reload: the half-minute retry takes it.
  gamma_holder.Release();
  const std::string gamma_listening =
      "Listening on 127.0.0.1:" + std::to_string(gamma) + " for Gamma";
  EXPECT_TRUE(service.WaitForLine(gamma_listening, 40000)) << [&] {
    std::string text;
    for (const auto& line : service.OutputLines()) text += line + "\n";
    return text;
  }();
  // Freed, then a reload: it listens at once.
  beta_holder.Release();
  service.Signal(SIGHUP);
  EXPECT_TRUE(service.WaitForLine("Listening on 127.0.0.1:" + std::to_string(beta) + " for Beta"));
  EXPECT_TRUE(shows("/metrics", up_line("Beta", beta) + "1"));
  for (auto [name, port] : {std::pair{"Beta", beta}, std::pair{"Gamma", gamma}}) {
    TestClient member;
    ASSERT_TRUE(member.Connect(port));
    EXPECT_TRUE(member.Login(name, "pw", "anna")) << name;
  }
  ASSERT_TRUE(service.Stop());
  auto messages = service.LogMessages();
  // One failure line each, however many tries.
  EXPECT_EQ(CountStartingWith(messages, "Server Error: 98 (Address already in use) on "), 2);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), gamma_listening), 1);
}

// Each address of ListenAddress is bound on its own: another program on
// one of them keeps the network served on the others, the log line and the
// status document name the one that failed, /metrics shows each, and a
// reload binds it once it is free.
TEST(ListenerTest, EachAddressIsBoundOnItsOwnAndTheFailedOneIsNamed) {
  ServiceProcess service;
  uint16_t status_port = ServiceProcess::FreePort(), port = ServiceProcess::FreePort();
  service.WriteFile("brelvint.conf",
                    Settings(Setting("StatusAddress", "127.0.0.1:" + std::to_string(status_port)) +
                             Setting("ListenAddress", "127.0.0.1, 127.0.0.2")));
  PortHolder holder(port);  // 127.0.0.1 only
  ASSERT_TRUE(holder.Held());
  service.AddNetwork("a.conf", "Alpha", port);
  ASSERT_TRUE(service.Start());
  const std::string p = std::to_string(port);
  ASSERT_TRUE(service.WaitForLine("Listening on 127.0.0.2:" + p + " for Alpha"))
      << service.ErrorOutput();
  ASSERT_TRUE(service.WaitForLine(
      "Status page listening on http://127.0.0.1:" + std::to_string(status_port) + "/"));
  sockaddr_in second{};
  second.sin_family = AF_INET;
  second.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.2", &second.sin_addr);
  EXPECT_TRUE(Greets(reinterpret_cast<sockaddr*>(&second), sizeof second));
  auto shows = [&](const std::string& path, const std::string& text) {
    for (int i = 0; i < 60; ++i) {
      auto reply = TestHttpClient::Get(status_port, path);
      if (reply && reply->Body.find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  auto up = [&](const std::string& address, int value) {
    return "brelvint_listener_up{network=\"Alpha\",address=\"" + address + ":" + p + "\",port=\"" +
           p + "\"} " + std::to_string(value) + "\n";
  };
  EXPECT_TRUE(shows("/metrics", up("127.0.0.1", 0)));
  EXPECT_TRUE(shows("/metrics", up("127.0.0.2", 1)));
  EXPECT_TRUE(
      shows("/status.json", "\"error\":\"127.0.0.1:" + p + ": 98 (Address already in use)\""));
  EXPECT_TRUE(shows("/status.json",
                    "{\"address\":\"127.0.0.2:" + p + "\",\"error\":\"\",\"listening\":true,"));

  holder.Release();
  service.Signal(SIGHUP);
  EXPECT_TRUE(service.WaitForLine("Listening on 127.0.0.1:" + p + " for Alpha"));
  EXPECT_TRUE(shows("/metrics", up("127.0.0.1", 1)));
  TestClient member;
  ASSERT_TRUE(member.Connect(port));
  EXPECT_TRUE(member.Login("Alpha", "pw", "bob"));
  ASSERT_TRUE(service.Stop());
  auto messages = service.LogMessages();
  EXPECT_EQ(
      std::count(messages.begin(), messages.end(),
                 "Server Error: 98 (Address already in use) on 127.0.0.1:" + p + " for Alpha"),
      1);
  EXPECT_EQ(CountStartingWith(messages, "Server Error"), 1);
  EXPECT_EQ(CountStartingWith(messages, "No network could be served"), 0);
}

// A port that is no port (0, missing, not a number) gets no listener: a
// random port would read as a success. The network is still loaded and
// reached by name through another listener.
TEST(ListenerTest, ANetworkWithoutAUsablePortIsLoadedButNotListenedFor) {
  ServiceProcess service;
  service.BindToLoopback();
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("a.conf", "Alpha", port);
  service.WriteFile("brelvint-server/b.conf", NetworkXml("Zero", "port=\"0\""));
  service.WriteFile("brelvint-server/c.conf", NetworkXml("Missing", ""));
  service.WriteFile("brelvint-server/d.conf", NetworkXml("Letters", "port=\"abc\""));
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  for (const char* name : {"Zero", "Missing", "Letters"}) {
    TestClient member;
    ASSERT_TRUE(member.Connect(port));
    EXPECT_TRUE(member.Login(name, "pw", "anna")) << name;
  }
  ASSERT_TRUE(service.Stop());
  auto messages = service.LogMessages();
  for (const char* line :
       {"Network Zero: port 0 is not a port from 1 to 65535; not listening",
        "Network Missing: port (none) is not a port from 1 to 65535; not listening",
        "Network Letters: port abc is not a port from 1 to 65535; not listening"}) {
    EXPECT_EQ(std::count(messages.begin(), messages.end(), line), 1) << line;
  }
  EXPECT_EQ(CountStartingWith(messages, "Listening on "), 1);
  EXPECT_EQ(CountStartingWith(messages, "Server Error"), 0);

  auto check = service.RunToEnd({"--check"});
  EXPECT_EQ(check, 1);
  std::string report = service.OutputLines().empty() ? "" : [&] {
    std::string text;
    for (const auto& line : service.OutputLines()) text += line + "\n";
    return text;
  }();
  EXPECT_NE(report.find("port abc is not a port from 1 to 65535"), std::string::npos) << report;
}

// ListenAddress names literal addresses, IPv6 included; every listener
// binds each of them.
TEST(ListenerTest, ListenAddressServesEachAddressGiven) {
  int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 loopback6{};
  loopback6.sin6_family = AF_INET6;
  loopback6.sin6_addr = in6addr_loopback;
  bool has_ipv6 =
      probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&loopback6), sizeof loopback6) == 0;
  if (probe >= 0) ::close(probe);
  if (!has_ipv6) GTEST_SKIP() << "no IPv6 loopback here";

  ServiceProcess service;
  service.WriteFile("brelvint.conf", Settings(Setting("StatusAddress", "") +
                                              Setting("ListenAddress", "127.0.0.2, ::1")));
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("a.conf", "Alpha", port);
  ASSERT_TRUE(service.Start());
  const std::string where = "127.0.0.2:" + std::to_string(port) + ", [::1]:" + std::to_string(port);
  ASSERT_TRUE(service.WaitForLine("Listening on " + where + " for Alpha")) << service.ErrorOutput();

  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.2", &v4.sin_addr);
  loopback6.sin6_port = htons(port);
  EXPECT_TRUE(Greets(reinterpret_cast<sockaddr*>(&v4), sizeof v4)) << "127.0.0.2";
  EXPECT_TRUE(Greets(reinterpret_cast<sockaddr*>(&loopback6), sizeof loopback6)) << "::1";
  TestClient elsewhere;
  EXPECT_FALSE(elsewhere.Connect(port)) << "127.0.0.1 is not among the addresses";
  ASSERT_TRUE(service.Stop());
}

}  // namespace
}  // namespace brelvint
