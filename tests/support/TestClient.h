#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace brelvint {

class EventLoop;

// A plain blocking-socket peer for tests, speaking the message framing by
// hand so it checks the server's bytes rather than trusting our own code.
// When the server runs in this process, pass its loop to the receiving
// calls: they then pump it while they wait.
class TestClient {
 public:
  struct Message {
    int32_t command = 0;
    std::string data;
  };

  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Connects to 127.0.0.1:`port` from `source` (any 127.x address).
  bool Connect(uint16_t port, const std::string& source = "127.0.0.1");
  void Close();

  void SendRaw(std::string_view bytes);
  void Send(int32_t command, std::string_view data);

  // The next message, or none after `timeout_ms` or when the server closed.
  std::optional<Message> Receive(int timeout_ms = 3000, EventLoop* loop = nullptr);
  // The next message with `command`, discarding others.
  std::optional<Message> ReceiveCommand(int32_t command, int timeout_ms = 3000,
                                        EventLoop* loop = nullptr);
  // Exactly `count` raw bytes, or what arrived before the timeout.
  std::string ReceiveRaw(size_t count, int timeout_ms = 3000, EventLoop* loop = nullptr);
  // The fence: sends the goodbye command (999), which every connection
  // answers with 999 "BYE" in its turn, and reads up to that reply. Returns
  // the messages that came before it, in order, or none when the reply did
  // not come (the server closed, or `timeout_ms` passed). Once the reply is
  // in, everything the server did before reading the 999 has reached us,
  // so "nothing else arrives" is a fact rather than a guess about timing.
  std::optional<std::vector<Message>> MessagesBeforeFence(EventLoop* loop = nullptr,
                                                          int timeout_ms = 3000);
  // Success when the fence's reply is the very next message; otherwise a
  // failure that names what came first.
  ::testing::AssertionResult ExpectFenceNext(EventLoop* loop = nullptr, int timeout_ms = 3000);
  // True once the server has closed the connection (within `timeout_ms`).
  bool WaitClosed(int timeout_ms = 3000, EventLoop* loop = nullptr);

  // The three-step login; true when all three answers are "OK".
  bool Login(const std::string& network, const std::string& password, const std::string& user,
             EventLoop* loop = nullptr);

  int Descriptor() const { return fd_; }

 private:
  // Reads what is available; false when the peer closed or failed.
  bool Fill(int wait_ms, EventLoop* loop);
  std::optional<Message> TakeMessage();

  int fd_ = -1;
  std::string buffer_;
  bool closed_ = false;
};

}  // namespace brelvint
