#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Asio.h"
#include "protocol/EventLoop.h"
#include "protocol/TCPSocket.h"

namespace brelvint {

// A listening TCP socket on one or more addresses, each with a pool of
// stream sockets waiting for connections. Each address is bound on its own:
// one that cannot be bound (another program holds it, a VPN address not up
// yet) keeps none of the others down, and the next Listen tries it again.
// It owns every connection it accepts until that connection's Error event
// has run. A subclass supplies the stream objects (AddSocket) and hears
// about listener failures (Error).
class ServerSocket {
 public:
  // How long accepting pauses after the process ran out of descriptors.
  static constexpr int kAcceptPauseMilliseconds = 250;

  explicit ServerSocket(EventLoop& loop);
  virtual ~ServerSocket();
  ServerSocket(const ServerSocket&) = delete;
  ServerSocket& operator=(const ServerSocket&) = delete;

  // The addresses to listen on: one or more literal IPv4 or IPv6
  // addresses separated by commas ("10.8.0.1", "127.0.0.1,::1"); empty
  // means every IPv4 address (0.0.0.0).
  std::string NetworkInterface;
  int64_t Port = 0;
  int64_t MaximumSocketsConnected = 0;  // 0: no limit
  int MinimumSocketsAvailable = 2;
  // The kernel send buffer of each accepted socket (SO_SNDBUF, which Linux
  // doubles for its own bookkeeping); 0 leaves the kernel's autotuning,
  // which lets one peer that stops reading hold up to tcp_wmem's maximum
  // (4 MiB by default) of the host's TCP memory.
  int SendBufferBytes = 0;
  // Descriptors kept free for everything else the process opens (the
  // log, files, the database, the operators' endpoint): an accept that
  // leaves fewer free counts as the listener being full (see MakeRoom).
  // 0: none kept; accepting then stops only when the kernel refuses.
  int DescriptorReserve = 0;

  // Where one address stands.
  struct AddressState {
    std::string Endpoint;  // "127.0.0.1:12000", "[::1]:12000"
    bool Listening = false;
    std::string Error;  // the last bind's error, "98 (Address already in use)"; "" while listening
    // When it entered its present state (listening, or failing with Error).
    std::chrono::system_clock::time_point Since;
  };

  // Binds each address not bound yet and starts accepting on it. The
  // addresses bound by this call are raised together through Listening;
  // each that fails raises ListenFailed, unless it failed the same way at
  // the previous try. True when every address listens. NetworkInterface
  // and Port are read at the first call (and after StopListening).
  bool Listen();
  // Closes every address; a later Listen binds them all again.
  void StopListening();
  // True while at least one address listens.
  bool IsListening() const;
  // True while every address listens.
  bool AllListening() const;
  // The local port actually bound (useful when Port was 0).
  uint16_t BoundPort() const;
  // Each address with its state, in NetworkInterface's order; empty before
  // the first Listen.
  std::vector<AddressState> Addresses() const;
  // Each address Listen binds with `port`, "[...]" around IPv6 ones,
  // joined by ", ": "127.0.0.1:12000", "0.0.0.0:12000, [::]:12000".
  std::string Endpoints(int64_t port) const;
  // One address with a port as a connecting program writes it:
  // "127.0.0.1:12000", "[::1]:12000".
  static std::string EndpointText(const asio::ip::address& address, int64_t port);
  // The addresses of NetworkInterface, or none (with `error` set) when one
  // of them is not a literal IP address.
  static std::optional<std::vector<asio::ip::address>> ParseAddresses(const std::string& list,
                                                                      std::string* error);

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
  // Listen bound `endpoints` (joined by ", ") and accepts there from now on.
  virtual void Listening(const std::string& endpoints) { (void)endpoints; }
  // Listen could not bind `endpoint` ("" when NetworkInterface names no
  // usable address): `code` is the errno value, `reason` its text.
  virtual void ListenFailed(const std::string& endpoint, int64_t code, const std::string& reason) {
    (void)endpoint;
    (void)reason;
    Error(code);
  }
  // The connection's Error event has run; the listener drops it next.
  virtual void ConnectionReleased(TCPSocket& socket) { (void)socket; }
  // Asked for each accepted connection before any byte of it is read, with
  // the peer's address (PeerAddress::Text): false closes it at once.
  virtual bool Admit(const std::string& address) {
    (void)address;
    return true;
  }
  // A connection passed Admit and has started (its Connected has run).
  virtual void Admitted(TCPSocket& socket, const std::string& address) {
    (void)socket;
    (void)address;
  }
  // The listener is full (MaximumSocketsConnected) or the process is down
  // to its descriptor reserve: true when a connection was ended to make
  // room for the newcomer, false to close the newcomer instead.
  virtual bool MakeRoom() { return false; }
  EventLoop& Loop() { return loop_; }

 private:
  friend class TCPSocket;

  // One address and, while it is bound, its acceptor.
  struct Slot {
    asio::ip::address address;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor;
    std::string error;
    std::chrono::system_clock::time_point since;
    bool Open() const { return acceptor && acceptor->is_open(); }
  };

  void AcceptInto(size_t which, std::shared_ptr<TCPSocket> socket);
  void FillAcceptPool();
  // An acceptor bound at `address`:`port`, or none with `ec` set.
  std::unique_ptr<asio::ip::tcp::acceptor> Bind(const asio::ip::address& address, uint16_t port,
                                                boost::system::error_code* ec);
  void OnAccepted(size_t which, const std::shared_ptr<TCPSocket>& socket,
                  const boost::system::error_code& ec);
  // Tries `which` again a little later, once none of its pool sockets waits.
  void PauseAccepting(size_t which);
  void Release(TCPSocket& socket);

  EventLoop& loop_;
  // One per address; each bound one keeps its own pool of waiting stream
  // sockets.
  std::vector<Slot> acceptors_;
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
  std::vector<int> accepts_waiting_;  // per acceptor
  bool out_of_descriptors_ = false;
  // Connections of every listener of the process (one loop thread), each
  // holding a descriptor until its release.
  static size_t all_connections_;
};

}  // namespace brelvint
