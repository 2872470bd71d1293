#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestClient.h"
#include "protocol/EasyTCPSocket.h"
#include "protocol/EpollTransport.h"
#include "protocol/EventLoop.h"
#include "protocol/ServerSocket.h"

namespace brelvint {

// A message socket that records what it raises.
class RecordingSocket : public EasyTCPSocket {
 public:
  using EasyTCPSocket::EasyTCPSocket;

  std::vector<std::pair<int32_t, std::string>> received;
  std::vector<int64_t> errors;
  int data_events = 0;
  // Runs for each delivered message, after it is recorded: what it sends
  // is the message's reply.
  std::function<void(RecordingSocket&, int32_t command)> on_message;

  // Hands the stream's readiness waits a result, as the kernel would;
  // false on io_uring, which has no such waits.
  bool FinishReadWait(const boost::system::error_code& ec) {
    auto* waits = dynamic_cast<EpollTransport*>(StreamTransport());
    if (waits != nullptr) waits->ReadWaitDone(ec);
    return waits != nullptr;
  }
  bool FinishWriteWait(const boost::system::error_code& ec) {
    auto* waits = dynamic_cast<EpollTransport*>(StreamTransport());
    if (waits != nullptr) waits->WriteWaitDone(ec);
    return waits != nullptr;
  }
  // Runs `loop` until a message with `command` arrives and returns its
  // payload, dropping the messages before it from `received`; empty after
  // `timeout_ms` or when the stream ended.
  std::string WaitForMessage(EventLoop& loop, int32_t command, int timeout_ms = 3000);

 protected:
  void ReceivedMessage(int32_t command, const std::string& data) override {
    received.emplace_back(command, data);
    if (on_message) on_message(*this, command);
  }
  void Error(int64_t code) override {
    EasyTCPSocket::Error(code);
    errors.push_back(code);
  }
  void DataAvailable() override {
    EasyTCPSocket::DataAvailable();
    ++data_events;
  }
};

// A listener on an ephemeral loopback port whose pool sockets record.
class RecordingListener : public ServerSocket {
 public:
  explicit RecordingListener(EventLoop& loop) : ServerSocket(loop) {}
  std::vector<int64_t> errors;

 protected:
  std::shared_ptr<TCPSocket> AddSocket() override {
    return std::make_shared<RecordingSocket>(Loop());
  }
  void Error(int64_t code) override { errors.push_back(code); }
};

// Runs `loop` until `done` holds or `timeout_ms` passed; returns `done()`.
bool PumpUntil(EventLoop& loop, const std::function<bool()>& done, int timeout_ms = 3000);

// A server-side message socket connected to a TestClient over 127.0.0.1.
struct LoopbackPair {
  EventLoop loop;
  RecordingListener listener{loop};
  TestClient client;
  std::shared_ptr<RecordingSocket> server;

  // Listens, connects and waits for the accept; false on failure.
  bool Open();
};

}  // namespace brelvint
