#pragma once

#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "hub/MapSocket.h"
#include "protocol/Asio.h"

namespace brelvint {

// Tells systemd how the service is doing, over its notify protocol
// (sd_notify): ready once the listeners and the operators' endpoint are
// bound, reloading while a SIGHUP is applied, stopping at a stop, and the
// watchdog's keep-alive. Every call does nothing when systemd did not ask
// for notifications (NOTIFY_SOCKET unset), so the server runs the same by
// hand.
//
// The keep-alive is sent by a timer on the event loop itself, so a loop
// that hangs stops sending it and systemd restarts the service. App owns
// the notifier and never destroys it; the loop's context outlives it.
class SystemdNotifier {
 public:
  // The watchdog is told at half its limit, so one late pass never trips it.
  static constexpr int kWatchdogDivisor = 2;

  explicit SystemdNotifier(asio::io_context& context);
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  // READY=1, with a STATUS= line (StatusLine). The first call also starts the keep-alive when the
  // unit set WatchdogSec= (WATCHDOG_USEC): systemd watches from then on.
  void Ready(const std::vector<std::shared_ptr<MapSocket>>& listeners);
  // A fresh STATUS= line when the listeners' state changed since the last
  // one sent (a retry bound an address), so `systemctl status` never shows
  // an old count. Nothing before Ready.
  void Status(const std::vector<std::shared_ptr<MapSocket>>& listeners);
  // "2 networks listening", with "; 1 of 3 addresses not bound" while
  // some address waits for its retry.
  static std::string StatusLine(const std::vector<std::shared_ptr<MapSocket>>& listeners);
  // RELOADING=1 with the monotonic time, before a reload is applied.
  void Reloading();
  // STOPPING=1, once a stop was asked for.
  void Stopping();

 private:
  void StartWatchdog();
  // Sends the keep-alive and sets the timer for the next.
  void DoWatchdog();

  asio::steady_timer watchdog_;
  std::chrono::microseconds watchdog_interval_{0};
  bool ready_sent_ = false;
  std::string status_;  // the last STATUS= line sent
};

}  // namespace brelvint
