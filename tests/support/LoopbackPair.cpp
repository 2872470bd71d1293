#include "LoopbackPair.h"

namespace brelvint {

bool PumpUntil(EventLoop& loop, const std::function<bool()>& done, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    loop.DoEvents(1);
  }
  return true;
}

std::string RecordingSocket::WaitForMessage(EventLoop& loop, int32_t command, int timeout_ms) {
  auto found = [&] {
    for (const auto& message : received) {
      if (message.first == command) return true;
    }
    return false;
  };
  if (!PumpUntil(
          loop, [&] { return found() || !IsConnected(); }, timeout_ms) ||
      !found()) {
    return {};
  }
  while (received.front().first != command) received.erase(received.begin());
  std::string payload = std::move(received.front().second);
  received.erase(received.begin());
  return payload;
}

bool LoopbackPair::Open() {
  listener.NetworkInterface = "127.0.0.1";
  listener.Port = 0;
  if (!listener.Listen()) return false;
  if (!client.Connect(listener.BoundPort())) return false;
  if (!PumpUntil(loop, [&] { return listener.ConnectionCount() == 1; })) return false;
  server = std::static_pointer_cast<RecordingSocket>(listener.ActiveConnections().front());
  return true;
}

}  // namespace brelvint
