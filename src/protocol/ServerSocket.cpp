#include "protocol/ServerSocket.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "protocol/PeerAddress.h"

namespace brelvint {

size_t ServerSocket::all_connections_ = 0;

ServerSocket::ServerSocket(EventLoop& loop) : loop_(loop), pause_timer_(loop.Context()) {}

ServerSocket::~ServerSocket() = default;

std::optional<std::vector<asio::ip::address>> ServerSocket::ParseAddresses(const std::string& list,
                                                                           std::string* error) {
  std::vector<asio::ip::address> addresses;
  if (list.empty()) return std::vector<asio::ip::address>{asio::ip::address_v4::any()};
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = std::min(list.find(',', start), list.size());
    std::string item = list.substr(start, comma - start);
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    boost::system::error_code ec;
    auto address = asio::ip::make_address(item, ec);
    if (ec) {
      *error = "\"" + item + "\" is not an IP address";
      return std::nullopt;
    }
    addresses.push_back(address);
    start = comma + 1;
  }
  return addresses;
}

bool ServerSocket::Listen() {
  bool fresh = std::none_of(acceptors_.begin(), acceptors_.end(),
                            [](const Slot& slot) { return slot.Open(); });
  if (fresh) {
    // Nothing is bound: the addresses are read again, as at the first call.
    std::string error;
    auto addresses = ParseAddresses(NetworkInterface, &error);
    if (!addresses || Port < 0 || Port > 65535) {
      acceptors_.clear();
      ListenFailed("", EINVAL, std::strerror(EINVAL));
      return false;
    }
    if (acceptors_.size() != addresses->size() ||
        !std::equal(
            addresses->begin(), addresses->end(), acceptors_.begin(),
            [](const auto& address, const Slot& slot) { return slot.address == address; })) {
      acceptors_.clear();
      for (const auto& address : *addresses) acceptors_.push_back(Slot{address, nullptr, {}, {}});
    }
    accepts_waiting_.assign(acceptors_.size(), 0);
  }
  // Port 0 lets the first address bound pick one; the others take the same.
  uint16_t port = fresh ? static_cast<uint16_t>(Port) : BoundPort();
  std::string bound;
  for (Slot& slot : acceptors_) {
    if (slot.Open()) continue;
    boost::system::error_code ec;
    auto acceptor = Bind(slot.address, port, &ec);
    if (!acceptor) {
      slot.acceptor.reset();
      std::string error = std::to_string(ec.value()) + " (" + ec.message() + ")";
      // A bind retried every half minute says so once, not at every try.
      if (error == slot.error) continue;
      slot.error = error;
      slot.since = std::chrono::system_clock::now();
      ListenFailed(EndpointText(slot.address, Port), ec.value(), ec.message());
      continue;
    }
    if (port == 0) port = acceptor->local_endpoint().port();
    slot.acceptor = std::move(acceptor);
    slot.error.clear();
    slot.since = std::chrono::system_clock::now();
    if (!bound.empty()) bound += ", ";
    bound += EndpointText(slot.address, port);
  }
  if (!bound.empty()) {
    Listening(bound);
    FillAcceptPool();
  }
  return AllListening();
}

std::unique_ptr<asio::ip::tcp::acceptor> ServerSocket::Bind(const asio::ip::address& address,
                                                            uint16_t port,
                                                            boost::system::error_code* ec) {
  asio::ip::tcp::endpoint endpoint(address, port);
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(loop_.Context());
  acceptor->open(endpoint.protocol(), *ec);
  if (!*ec) acceptor->set_option(asio::socket_base::reuse_address(true), *ec);
  // "::" must not take the IPv4 addresses as well, or "0.0.0.0,::" could not bind.
  if (!*ec && address.is_v6()) acceptor->set_option(asio::ip::v6_only(true), *ec);
  if (!*ec) acceptor->bind(endpoint, *ec);
  if (!*ec) acceptor->listen(asio::socket_base::max_listen_connections, *ec);
  if (*ec) return nullptr;
  return acceptor;
}

void ServerSocket::FillAcceptPool() {
  accepts_waiting_.resize(acceptors_.size());
  for (size_t which = 0; which < acceptors_.size(); ++which) {
    if (!acceptors_[which].Open()) continue;
    for (int i = accepts_waiting_[which]; i < std::max(1, MinimumSocketsAvailable); ++i) {
      AcceptInto(which, AddSocket());
    }
  }
}

void ServerSocket::StopListening() {
  boost::system::error_code ignored;
  for (Slot& slot : acceptors_) {
    if (slot.acceptor) slot.acceptor->close(ignored);
  }
  pause_timer_.cancel();
}

bool ServerSocket::IsListening() const {
  return std::any_of(acceptors_.begin(), acceptors_.end(),
                     [](const Slot& slot) { return slot.Open(); });
}

bool ServerSocket::AllListening() const {
  return !acceptors_.empty() && std::all_of(acceptors_.begin(), acceptors_.end(),
                                            [](const Slot& slot) { return slot.Open(); });
}

std::vector<ServerSocket::AddressState> ServerSocket::Addresses() const {
  uint16_t bound = BoundPort();
  std::vector<AddressState> states;
  for (const Slot& slot : acceptors_) {
    states.push_back({EndpointText(slot.address, bound != 0 ? bound : Port), slot.Open(),
                      slot.Open() ? std::string() : slot.error, slot.since});
  }
  return states;
}

std::string ServerSocket::EndpointText(const asio::ip::address& address, int64_t port) {
  std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return host + ":" + std::to_string(port);
}

std::string ServerSocket::Endpoints(int64_t port) const {
  std::string error, text;
  auto addresses = ParseAddresses(NetworkInterface, &error);
  if (!addresses) return NetworkInterface + ":" + std::to_string(port);
  for (const auto& address : *addresses) {
    if (!text.empty()) text += ", ";
    text += EndpointText(address, port);
  }
  return text;
}

uint16_t ServerSocket::BoundPort() const {
  for (const Slot& slot : acceptors_) {
    if (!slot.Open()) continue;
    boost::system::error_code ec;
    auto endpoint = slot.acceptor->local_endpoint(ec);
    if (!ec) return endpoint.port();
  }
  return 0;
}

std::vector<std::shared_ptr<TCPSocket>> ServerSocket::ActiveConnections() const {
  std::vector<std::shared_ptr<TCPSocket>> snapshot;
  snapshot.reserve(live_);
  for (const auto& socket : slots_) {
    if (socket) snapshot.push_back(socket);
  }
  return snapshot;
}

void ServerSocket::AcceptInto(size_t which, std::shared_ptr<TCPSocket> socket) {
  if (which >= acceptors_.size() || !acceptors_[which].Open()) return;
  ++accepts_waiting_[which];
  auto& raw = socket->RawSocket();
  acceptors_[which].acceptor->async_accept(
      raw, [this, which, alive = std::weak_ptr<char>(alive_),
            socket = std::move(socket)](const boost::system::error_code& ec) {
        // Aborted means the acceptor was closed, possibly by our destructor;
        // an accept that completed just before then is delivered after it.
        if (ec == asio::error::operation_aborted || alive.expired()) return;
        if (which < accepts_waiting_.size()) --accepts_waiting_[which];
        OnAccepted(which, socket, ec);
      });
}

void ServerSocket::OnAccepted(size_t which, const std::shared_ptr<TCPSocket>& socket,
                              const boost::system::error_code& ec) {
  if (ec) {
    if (ec.value() == EMFILE || ec.value() == ENFILE || ec.value() == ENOBUFS ||
        ec.value() == ENOMEM) {
      // Retrying at once would spin: the listening socket stays readable
      // until a descriptor frees up. Report once per episode and back off.
      if (!out_of_descriptors_) Error(ec.value());
      out_of_descriptors_ = true;
      PauseAccepting(which);
      return;
    }
    AcceptInto(which, socket);  // the peer gave up before we took it; keep the pool full
    return;
  }
  out_of_descriptors_ = false;
  auto& raw = socket->RawSocket();
  boost::system::error_code ignored;
  auto peer = raw.remote_endpoint(ignored);
  if (ignored) {
    // The peer reset the connection before we took it: nothing to serve.
    raw.close(ignored);
    AcceptInto(which, socket);
    return;
  }
  std::string address = PeerAddress::Text(peer.address());
  // Connections of every listener may hold all descriptors but the
  // reserve. The kernel hands out the lowest free descriptor, so a number
  // this high also means nearly every one below it is taken (by whatever).
  // The limit is read each time: an operator may change it under a running
  // process (prlimit).
  rlimit limit{};
  auto reserve = static_cast<rlim_t>(std::max(DescriptorReserve, 0));
  bool near_descriptor_limit =
      reserve > 0 && getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      (static_cast<rlim_t>(raw.native_handle()) + reserve >= limit.rlim_cur ||
       static_cast<rlim_t>(all_connections_) + reserve >= limit.rlim_cur);
  bool full = MaximumSocketsConnected > 0 && live_ >= static_cast<size_t>(MaximumSocketsConnected);
  if (!Admit(address) || ((full || near_descriptor_limit) && !MakeRoom())) {
    raw.close(ignored);
    AcceptInto(which, socket);
    return;
  }
  if (SendBufferBytes > 0) {
    raw.set_option(asio::socket_base::send_buffer_size(SendBufferBytes), ignored);
  }
  socket->slot_ = static_cast<uint32_t>(slots_.size());
  slots_.push_back(socket);
  ++live_;
  ++all_connections_;
  AcceptInto(which, AddSocket());
  socket->Adopt(this, next_sequence_++);
  Admitted(*socket, address);
}

void ServerSocket::PauseAccepting(size_t which) {
  // Another pool socket of this address still waits: it carries on.
  if (which < accepts_waiting_.size() && accepts_waiting_[which] > 0) return;
  pause_timer_.expires_after(std::chrono::milliseconds(kAcceptPauseMilliseconds));
  pause_timer_.async_wait(
      [this, alive = std::weak_ptr<char>(alive_)](const boost::system::error_code& ec) {
        if (ec || alive.expired()) return;
        FillAcceptPool();
      });
}

void ServerSocket::Release(TCPSocket& socket) {
  ConnectionReleased(socket);
  // The slot holds the last owning reference; the handler that called us
  // still holds its own, so the object outlives this call.
  if (socket.slot_ >= slots_.size() || slots_[socket.slot_].get() != &socket) return;
  slots_[socket.slot_].reset();
  --live_;
  --all_connections_;
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
