#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Asio.h"
#include "protocol/EventLoop.h"
#include "protocol/TCPSocket.h"

namespace brelvint {

// A listening TCP socket with a pool of stream sockets waiting for
// connections. It owns every connection it accepts until that
// connection's Error event has run. A subclass supplies the stream objects
// (AddSocket) and hears about listener failures (Error).
class ServerSocket {
 public:
  // How long accepting pauses after the process ran out of descriptors.
  static constexpr int kAcceptPauseMilliseconds = 250;

  explicit ServerSocket(EventLoop& loop);
  virtual ~ServerSocket();
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  // IPv4 address to listen on; empty means every address (0.0.0.0).
  std::string NetworkInterface;
  int64_t Port = 0;
  int64_t MaximumSocketsConnected = 0;  // 0: no limit
  int MinimumSocketsAvailable = 2;

  // Starts accepting and raises Listening. On failure raises ListenFailed
  // and returns false.
  bool Listen();
  void StopListening();
  bool IsListening() const { return acceptor_.is_open(); }
  // The local port actually bound (useful when Port was 0).
  uint16_t BoundPort() const;
  // The address Listen binds: NetworkInterface, or "0.0.0.0" when empty.
  std::string ListenAddress() const;

  // The current connections, in the order they were accepted.
  std::vector<std::shared_ptr<TCPSocket>> ActiveConnections() const;
  size_t ConnectionCount() const { return live_; }
  // Length of the connection list, released places included (for tests:
  // leaving connections must not make it grow without bound).
  size_t SlotCount() const { return slots_.size(); }

 protected:
  // A fresh stream object for the pool.
  virtual std::shared_ptr<TCPSocket> AddSocket() = 0;
  virtual void Error(int64_t code) { (void)code; }
  // Listen bound its address and accepts from now on.
  virtual void Listening() {}
  // Listen could not bind: `code` is the errno value, `reason` its text.
  virtual void ListenFailed(int64_t code, const std::string& reason) {
    (void)reason;
    Error(code);
  }
  // The connection's Error event has run; the listener drops it next.
  virtual void ConnectionReleased(TCPSocket& socket) { (void)socket; }
  EventLoop& Loop() { return loop_; }

 private:
  friend class TCPSocket;

  void AcceptInto(std::shared_ptr<TCPSocket> socket);
  void OnAccepted(const std::shared_ptr<TCPSocket>& socket, const boost::system::error_code& ec);
  void PauseAccepting();
  void Release(TCPSocket& socket);

  EventLoop& loop_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer pause_timer_;
  void Compact();

  // Handlers check this before touching the listener: one that completed
  // before the listener was freed (an accept, or the pause timer, due in
  // the same pass as a reload that retires it) still runs afterwards.
  std::shared_ptr<char> alive_ = std::make_shared<char>();

  // Connections in accept order; a released one leaves an empty slot until
  // the next compaction, so a release costs O(1) and order is kept.
  std::vector<std::shared_ptr<TCPSocket>> slots_;
  size_t live_ = 0;
  uint64_t next_sequence_ = 1;
  int accepts_waiting_ = 0;
  bool out_of_descriptors_ = false;
};

}  // namespace brelvint
