#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"

namespace brelvint {
namespace {

using Clock = std::chrono::steady_clock;

// The socket systemd would listen on for a service's notifications: a Unix
// datagram socket in the test's folder, named to the server in NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path)
      : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  bool Bound() const { return bound_; }
  const std::filesystem::path& Path() const { return path_; }

  // The next datagram, or none after `timeout_ms`.
  std::optional<std::string> Receive(int timeout_ms) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) <= 0) return std::nullopt;
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
  }

  // The next datagram that is not a watchdog keep-alive; those met on the
  // way are counted.
  std::optional<std::string> ReceiveState(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      auto message = Receive(static_cast<int>(std::max<int64_t>(left.count(), 1)));
      if (!message) return std::nullopt;
      if (*message != "WATCHDOG=1") return message;
      ++watchdogs_;
    }
    return std::nullopt;
  }
  int Watchdogs() const { return watchdogs_; }

 private:
  std::filesystem::path path_;
  int fd_;
  bool bound_ = false;
  int watchdogs_ = 0;
};

uint64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A server started as systemd starts a Type=notify unit: two networks on
// loopback and the status endpoint on a port of its own.
class SystemdNotifyTest : public ::testing::Test {
 protected:
  void StartWith(const std::optional<std::string>& watchdog_usec) {
    auto ports = ServiceProcess::FreePorts(3);
    ASSERT_EQ(ports.size(), 3u);
    alpha_ = ports[0];
    beta_ = ports[1];
    status_port_ = ports[2];
    service_.WriteFile("brelvint.conf",
                       "<settings>\n  <setting namestring=\"AttachedNIC\" "
                       "valuestring=\"00:00:00:00:00:00\" />\n  <setting "
                       "namestring=\"StatusAddress\" valuestring=\"127.0.0.1:" +
                           std::to_string(status_port_) + "\" />\n</settings>\n");
    service_.AddNetwork("a.conf", "Alpha", alpha_);
    service_.AddNetwork("b.conf", "Beta", beta_);
    ASSERT_TRUE(notify_.Bound()) << notify_.Path();
    service_.SetEnvironment("NOTIFY_SOCKET", notify_.Path().string());
    if (watchdog_usec) service_.SetEnvironment("WATCHDOG_USEC", *watchdog_usec);
    ASSERT_TRUE(service_.Start());
  }

  // READY comes first, and only once both listeners and the endpoint are
  // bound: the log says so by the time it arrives.
  void ExpectReady(const std::string& status) {
    auto ready = notify_.ReceiveState(10000);
    ASSERT_TRUE(ready) << service_.ErrorOutput();
    EXPECT_EQ(*ready, "READY=1\nSTATUS=" + status);
    auto log = service_.LogMessages();
    for (const std::string& line :
         {"Listening on 127.0.0.1:" + std::to_string(alpha_) + " for Alpha",
          "Listening on 127.0.0.1:" + std::to_string(beta_) + " for Beta",
          "Status page listening on http://127.0.0.1:" + std::to_string(status_port_) + "/"}) {
      EXPECT_TRUE(Contains(log, line)) << "not yet logged at READY: " << line;
    }
  }

  // RELOADING with the monotonic time of the signal, then READY naming the
  // networks the reload left listening.
  void ExpectReload(const std::string& status) {
    uint64_t before = MonotonicMicroseconds();
    service_.Signal(SIGHUP);
    auto reloading = notify_.ReceiveState(10000);
    uint64_t after = MonotonicMicroseconds();
    ASSERT_TRUE(reloading);
    const std::string prefix = "RELOADING=1\nMONOTONIC_USEC=";
    ASSERT_EQ(reloading->rfind(prefix, 0), 0u) << *reloading;
    uint64_t stamp = std::stoull(reloading->substr(prefix.size()));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    auto ready = notify_.ReceiveState(10000);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, "READY=1\nSTATUS=" + status);
    EXPECT_TRUE(Contains(service_.LogMessages(), "Network Added: Gamma"));
  }

  // STOPPING at the stop request, and nothing after it but the exit.
  void ExpectStop() {
    service_.Signal(SIGTERM);
    auto stopping = notify_.ReceiveState(10000);
    ASSERT_TRUE(stopping);
    EXPECT_EQ(*stopping, "STOPPING=1");
    EXPECT_EQ(service_.WaitExit(10000), 0);
    EXPECT_EQ(notify_.ReceiveState(100), std::nullopt);
  }

  ServiceProcess service_;
  NotifySocket notify_{service_.Folder() / "notify"};
  uint16_t alpha_ = 0, beta_ = 0, status_port_ = 0;
};

TEST_F(SystemdNotifyTest, ReadyReloadingAndStoppingFollowTheServersLife) {
  StartWith(std::nullopt);
  ExpectReady("2 networks listening");
  service_.AddNetwork("c.conf", "Gamma", ServiceProcess::FreePort());
  ExpectReload("3 networks listening");
  ExpectStop();
  // No WatchdogSec= in the unit, no keep-alive.
  EXPECT_EQ(notify_.Watchdogs(), 0);
}

// With WATCHDOG_USEC, the event loop sends a keep-alive at half that
// interval (200 ms here) for as long as it runs, across a reload.
TEST_F(SystemdNotifyTest, TheLoopKeepsTheWatchdogFed) {
  StartWith("400000");
  ExpectReady("2 networks listening");
  auto first = Clock::now();
  int pings = 0;
  while (pings < 5 && Clock::now() - first < std::chrono::seconds(20)) {
    auto message = notify_.Receive(1000);
    if (message) {
      ASSERT_EQ(*message, "WATCHDOG=1");
      ++pings;
    }
  }
  ASSERT_EQ(pings, 5);
  // A generous pace check: pings at every pass of the loop (a flood) or an
  // interval read in the wrong unit would be far outside it.
  auto span = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first);
  EXPECT_GE(span.count(), 4 * 100) << "5 pings in " << span.count() << " ms";

  service_.AddNetwork("c.conf", "Gamma", ServiceProcess::FreePort());
  ExpectReload("3 networks listening");
  int before = notify_.Watchdogs();
  for (int i = 0; i < 100 && notify_.Watchdogs() < before + 2; ++i) {
    auto message = notify_.ReceiveState(100);
    ASSERT_EQ(message, std::nullopt) << *message;
  }
  EXPECT_GE(notify_.Watchdogs(), before + 2) << "no keep-alive after the reload";
  ExpectStop();
}

// A retry that binds a listener the start could not sends a fresh STATUS=
// on its own, so `systemctl status` never keeps the count of the start.
TEST_F(SystemdNotifyTest, ARetryThatBindsAListenerRefreshesTheStatus) {
  auto ports = ServiceProcess::FreePorts(2);
  ASSERT_EQ(ports.size(), 2u);
  // Another program's socket on Beta's port until it is closed below.
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(ports[1]);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  service_.BindToLoopback();
  service_.AddNetwork("a.conf", "Alpha", ports[0]);
  service_.AddNetwork("b.conf", "Beta", ports[1]);
  service_.SetEnvironment("NOTIFY_SOCKET", notify_.Path().string());
  ASSERT_TRUE(service_.Start());
  auto ready = notify_.ReceiveState(10000);
  ASSERT_TRUE(ready) << service_.ErrorOutput();
  EXPECT_EQ(*ready, "READY=1\nSTATUS=1 network listening; 1 of 2 addresses not bound");

  ::close(holder);
  // The half-minute retry binds it; no signal, no reload.
  auto fresh = notify_.ReceiveState(45000);
  ASSERT_TRUE(fresh) << "no fresh status after the retry";
  EXPECT_EQ(*fresh, "STATUS=2 networks listening");
  EXPECT_TRUE(Contains(service_.LogMessages(),
                       "Listening on 127.0.0.1:" + std::to_string(ports[1]) + " for Beta"));
  ExpectStop();
}

}  // namespace
}  // namespace brelvint
