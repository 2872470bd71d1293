#include "protocol/ServerSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brelvint {

ServerSocket::ServerSocket(EventLoop& loop)
    : loop_(loop), acceptor_(loop.Context()), pause_timer_(loop.Context()) {}

ServerSocket::~ServerSocket() = default;

bool ServerSocket::Listen() {
  boost::system::error_code ec;
  asio::ip::address_v4 address = asio::ip::address_v4::any();
  if (!NetworkInterface.empty()) address = asio::ip::make_address_v4(NetworkInterface, ec);
  if (ec || Port < 0 || Port > 65535) {
    ListenFailed(EINVAL, std::strerror(EINVAL));
    return false;
  }
  asio::ip::tcp::endpoint endpoint(address, static_cast<uint16_t>(Port));
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    ListenFailed(ec.value(), ec.message());
    return false;
  }
  Listening();
  for (int i = 0; i < std::max(1, MinimumSocketsAvailable); ++i) AcceptInto(AddSocket());
  return true;
}

void ServerSocket::StopListening() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  pause_timer_.cancel();
}

std::string ServerSocket::ListenAddress() const {
  return NetworkInterface.empty() ? std::string("0.0.0.0") : NetworkInterface;
}

uint16_t ServerSocket::BoundPort() const {
  boost::system::error_code ec;
  auto endpoint = acceptor_.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

std::vector<std::shared_ptr<TCPSocket>> ServerSocket::ActiveConnections() const {
  std::vector<std::shared_ptr<TCPSocket>> snapshot;
  snapshot.reserve(live_);
  for (const auto& socket : slots_) {
    if (socket) snapshot.push_back(socket);
  }
  return snapshot;
}

void ServerSocket::AcceptInto(std::shared_ptr<TCPSocket> socket) {
  if (!acceptor_.is_open()) return;
  ++accepts_waiting_;
  auto& raw = socket->RawSocket();
  acceptor_.async_accept(raw, [this, alive = std::weak_ptr<char>(alive_),
                               socket = std::move(socket)](const boost::system::error_code& ec) {
    // Aborted means the acceptor was closed, possibly by our destructor;
    // an accept that completed just before then is delivered after it.
    if (ec == asio::error::operation_aborted || alive.expired()) return;
    --accepts_waiting_;
    OnAccepted(socket, ec);
  });
}

void ServerSocket::OnAccepted(const std::shared_ptr<TCPSocket>& socket,
                              const boost::system::error_code& ec) {
  if (ec) {
    if (ec.value() == EMFILE || ec.value() == ENFILE || ec.value() == ENOBUFS ||
        ec.value() == ENOMEM) {
      // Retrying at once would spin: the listening socket stays readable
      // until a descriptor frees up. Report once per episode and back off.
      if (!out_of_descriptors_) Error(ec.value());
      out_of_descriptors_ = true;
      PauseAccepting();
      return;
    }
    AcceptInto(socket);  // the peer gave up before we took it; keep the pool full
    return;
  }
  out_of_descriptors_ = false;
  if (MaximumSocketsConnected > 0 && live_ >= static_cast<size_t>(MaximumSocketsConnected)) {
    boost::system::error_code ignored;
    socket->RawSocket().close(ignored);
    AcceptInto(socket);
    return;
  }
  socket->slot_ = static_cast<uint32_t>(slots_.size());
  slots_.push_back(socket);
  ++live_;
  AcceptInto(AddSocket());
  socket->Adopt(this, next_sequence_++);
}

void ServerSocket::PauseAccepting() {
  if (accepts_waiting_ > 0) return;  // another pool socket is still waiting
  pause_timer_.expires_after(std::chrono::milliseconds(kAcceptPauseMilliseconds));
  pause_timer_.async_wait(
      [this, alive = std::weak_ptr<char>(alive_)](const boost::system::error_code& ec) {
        if (ec || alive.expired()) return;
        for (int i = 0; i < std::max(1, MinimumSocketsAvailable); ++i) AcceptInto(AddSocket());
      });
}

void ServerSocket::Release(TCPSocket& socket) {
  ConnectionReleased(socket);
  // The slot holds the last owning reference; the handler that called us
  // still holds its own, so the object outlives this call.
  if (socket.slot_ >= slots_.size() || slots_[socket.slot_].get() != &socket) return;
  slots_[socket.slot_].reset();
  --live_;
  if (slots_.size() - live_ > 64 && slots_.size() - live_ > live_) Compact();
}

void ServerSocket::Compact() {
  size_t next = 0;
  for (auto& socket : slots_) {
    if (!socket) continue;
    socket->slot_ = static_cast<uint32_t>(next);
    slots_[next++] = std::move(socket);
  }
  slots_.resize(next);
  if (slots_.capacity() > 2 * next + 64) slots_.shrink_to_fit();
}

}  // namespace brelvint
