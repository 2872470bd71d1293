#include "service/SystemdNotifier.h"

#include <fmt/format.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstdint>

namespace brelvint {

namespace {

constexpr const char kReady[] = "READY=1";
constexpr const char kStatus[] = "STATUS={} network{} listening";
constexpr const char kUnbound[] = "; {} of {} addresses not bound";
constexpr const char kReloading[] = "RELOADING=1\nMONOTONIC_USEC={}";
constexpr const char kStopping[] = "STOPPING=1";
constexpr const char kWatchdog[] = "WATCHDOG=1";

// systemd compares MONOTONIC_USEC with its own CLOCK_MONOTONIC reading.
uint64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// NOTIFY_SOCKET stays set (sd_notify's first argument): the server speaks
// again at every reload, stop and keep-alive.
void Notify(const std::string& message) { sd_notify(0, message.c_str()); }

}  // namespace

SystemdNotifier::SystemdNotifier(asio::io_context& context) : watchdog_(context) {}

std::string SystemdNotifier::StatusLine(const std::vector<std::shared_ptr<MapSocket>>& listeners) {
  size_t networks = 0, addresses = 0, unbound = 0;
  for (const auto& listener : listeners) {
    if (listener->IsListening()) networks += listener->Networks.size();
    if (listener->Networks.empty()) continue;  // stopped, waiting to be freed
    for (const auto& address : listener->Addresses()) {
      ++addresses;
      if (!address.Listening) ++unbound;
    }
  }
  std::string line = fmt::format(kStatus, networks, networks == 1 ? "" : "s");
  if (unbound > 0) line += fmt::format(kUnbound, unbound, addresses);
  return line;
}

void SystemdNotifier::Ready(const std::vector<std::shared_ptr<MapSocket>>& listeners) {
  status_ = StatusLine(listeners);
  Notify(std::string(kReady) + "\n" + status_);
  if (!ready_sent_) {
    ready_sent_ = true;
    StartWatchdog();
  }
}

void SystemdNotifier::Status(const std::vector<std::shared_ptr<MapSocket>>& listeners) {
  if (!ready_sent_) return;
  std::string line = StatusLine(listeners);
  if (line == status_) return;
  status_ = std::move(line);
  Notify(status_);
}

void SystemdNotifier::Reloading() { Notify(fmt::format(kReloading, MonotonicMicroseconds())); }

void SystemdNotifier::Stopping() { Notify(kStopping); }

void SystemdNotifier::StartWatchdog() {
  uint64_t limit = 0;
  if (sd_watchdog_enabled(0, &limit) <= 0 || limit == 0) return;
  watchdog_interval_ = std::chrono::microseconds(limit / kWatchdogDivisor);
  DoWatchdog();
}

void SystemdNotifier::DoWatchdog() {
  Notify(kWatchdog);
  watchdog_.expires_after(watchdog_interval_);
  // The notifier outlives the loop's handlers (App never frees it); a
  // cancelled wait touches nothing.
  watchdog_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) DoWatchdog();
  });
}

}  // namespace brelvint
