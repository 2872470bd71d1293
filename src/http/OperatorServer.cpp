#include "http/OperatorServer.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/asio/ip/address.hpp>

#include "base/LogMessage.h"
#include "http/OperatorSession.h"
#include "protocol/PeerAddress.h"

namespace brelvint {

namespace {

constexpr const char kTextPlain[] = "text/plain; charset=utf-8";
// After a failed accept (no descriptor left), the next try waits this long
// instead of spinning on the same error.
constexpr std::chrono::milliseconds kAcceptPause{250};

}  // namespace

OperatorServer::Reply OperatorServer::Reply::Text(int status, std::string text) {
  return Reply{status, kTextPlain, std::make_shared<const std::string>(std::move(text)), {}};
}

void OperatorServer::State::Register(OperatorSession* session, const std::string& address) {
  if (Sessions.emplace(session, Slot{address}).second) ++PerAddress[address];
}

void OperatorServer::State::Answering(OperatorSession* session) {
  auto found = Sessions.find(session);
  if (found != Sessions.end()) found->second.Answering = true;
}

void OperatorServer::State::Waiting(OperatorSession* session) {
  auto found = Sessions.find(session);
  if (found == Sessions.end()) return;
  found->second.Answering = false;
  found->second.WaitingSince = std::chrono::steady_clock::now();
}

OperatorSession* OperatorServer::State::LongestWaiting() const {
  OperatorSession* longest = nullptr;
  const Slot* longest_slot = nullptr;
  for (const auto& [session, slot] : Sessions) {
    if (slot.Answering) continue;
    if (longest_slot == nullptr || slot.WaitingSince < longest_slot->WaitingSince) {
      longest = session;
      longest_slot = &slot;
    }
  }
  return longest;
}

void OperatorServer::State::Unregister(OperatorSession* session) {
  auto found = Sessions.find(session);
  if (found == Sessions.end()) return;  // closed before, now destroyed
  std::string address = std::move(found->second.Address);
  Sessions.erase(found);
  size_t open = --PerAddress[address];
  if (open == 0) PerAddress.erase(address);
  // Like the full episode below: over once the address has clearly thinned.
  if (open <= kMaxConnectionsPerAddress / 2) FullAddresses.erase(address);
  // A full episode ends once the crowd has clearly thinned, so a steady
  // flood at the limit logs once rather than at every close.
  if (Full && Sessions.size() <= kEpisodeEndConnections) Full = false;
}

std::chrono::microseconds OperatorServer::State::WriteWait() {
  auto now = std::chrono::steady_clock::now();
  double elapsed = std::chrono::duration<double>(now - WriteRefilled).count();
  WriteRefilled = now;
  WriteTokens = std::min(kWriteBurstBytes, WriteTokens + elapsed * kWriteBytesPerSecond);
  if (WriteTokens > 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(static_cast<int64_t>(-WriteTokens / kWriteBytesPerSecond * 1e6) +
                                   1);
}

OperatorServer::OperatorServer(asio::io_context& context, Handler handler)
    : context_(context), state_(std::make_shared<State>()), accept_pause_(context) {
  state_->Handler = std::move(handler);
}

OperatorServer::~OperatorServer() { Stop(); }

bool OperatorServer::TokenMatches(const std::string& given, const std::string& expected) {
  // Every byte of the longer text is looked at whatever matched, so the
  // time taken depends only on the lengths.
  size_t length = std::max(given.size(), expected.size());
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < length; ++i) {
    unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
    difference |= a ^ b;
  }
  return difference == 0 && !expected.empty();
}

bool OperatorServer::IsLoopbackHost(std::string_view host) {
  if (host.empty()) return true;
  std::string_view name = host;
  if (name.front() == '[') {
    size_t close = name.find(']');
    if (close == std::string_view::npos) return false;
    name = name.substr(1, close - 1);
  } else if (name.find(':') == name.rfind(':') && name.find(':') != std::string_view::npos) {
    name = name.substr(0, name.find(':'));  // "name:port"
  }
  return OperatorAddress::IsLoopback(name);
}

bool OperatorServer::Running() const { return !state_->Stopped; }

bool OperatorServer::NeedsLookup(const std::string& host) {
  boost::system::error_code ec;
  asio::ip::make_address(host, ec);
  return ec && host != "localhost";
}

bool OperatorServer::Start(const OperatorAddress& address, const std::string& token,
                           std::string* why) {
  bool loopback = OperatorAddress::IsLoopback(address.Host);
  if (!loopback && token.empty()) {
    *why = address.Host + " is not a loopback address and no StatusToken is set";
    return false;
  }
  auto fail = [&](const boost::system::error_code& ec) {
    *why = "cannot listen on " + address.ToString() + ": " + ec.message();
    acceptor_.reset();
    return false;
  };
  boost::system::error_code ec;
  // "localhost" is the loopback address, whatever a resolver might say.
  auto ip = address.Host == "localhost" ? asio::ip::address(asio::ip::address_v4::loopback())
                                        : asio::ip::make_address(address.Host, ec);
  if (ec) return fail(ec);
  asio::ip::tcp::endpoint endpoint(ip, address.Port);
  acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(context_);
  // Reuse of the address only: a second server on the same port must fail
  // to bind rather than silently share it.
  acceptor_->open(endpoint.protocol(), ec);
  if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_->bind(endpoint, ec);
  if (!ec) acceptor_->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return fail(ec);

  // A fresh state: sessions of an earlier run keep theirs, stopped.
  auto handler = state_->Handler;
  auto public_paths = state_->PublicPaths;
  auto action_paths = state_->ActionPaths;
  auto actions = state_->Actions;
  state_ = std::make_shared<State>();
  state_->Handler = std::move(handler);
  state_->PublicPaths = std::move(public_paths);
  state_->ActionPaths = std::move(action_paths);
  state_->Actions = std::move(actions);
  state_->Token = token;
  state_->TokenRequired = !loopback;
  state_->CheckHost = loopback;
  state_->Stopped = false;
  Accept();
  return true;
}

void OperatorServer::SetPublicPaths(std::vector<std::string> paths) {
  state_->PublicPaths = std::move(paths);
}

void OperatorServer::SetActions(std::vector<std::string> paths, ActionHandler handler) {
  state_->ActionPaths = std::move(paths);
  state_->Actions = std::move(handler);
}

bool OperatorServer::SetToken(const std::string& token) {
  if (state_->TokenRequired && token.empty()) return false;
  state_->Token = token;
  return true;
}

void OperatorServer::Stop() {
  if (state_->Stopped) return;
  state_->Stopped = true;
  boost::system::error_code ignored;
  if (acceptor_) acceptor_->close(ignored);
  acceptor_.reset();
  accept_pause_.cancel();
  std::vector<OperatorSession*> open;
  for (const auto& [session, address] : state_->Sessions) open.push_back(session);
  for (OperatorSession* session : open) session->Close();
}

void OperatorServer::Accept() {
  // The state, not `this`, is what the handler checks first: after Stop the
  // server may be gone when the aborted accept is delivered.
  acceptor_->async_accept(
      [this, state = state_](const boost::system::error_code& ec, asio::ip::tcp::socket socket) {
        if (state->Stopped || ec == asio::error::operation_aborted) return;
        if (ec) {
          accept_pause_.expires_after(kAcceptPause);
          accept_pause_.async_wait([this, state](const boost::system::error_code& waited) {
            if (!waited && !state->Stopped) Accept();
          });
          return;
        }
        Accepted(std::move(socket));
        Accept();
      });
}

void OperatorServer::Accepted(asio::ip::tcp::socket socket) {
  boost::system::error_code ec;
  std::string address = PeerAddress::CountingKey(socket.remote_endpoint(ec).address());
  auto from_address = state_->PerAddress.find(address);
  if (from_address != state_->PerAddress.end() &&
      from_address->second >= kMaxConnectionsPerAddress) {
    socket.close(ec);
    if (state_->FullAddresses.insert(address).second) {
      modGlobal::LogMessage(fmt::format(kAddressFullLog, kMaxConnectionsPerAddress, address));
    }
    return;
  }
  if (state_->Sessions.size() >= kMaxConnections) {
    if (!state_->Full) {
      state_->Full = true;
      modGlobal::LogMessage(fmt::format(kFullLog, kMaxConnections));
    }
    // A connection that holds no request has nothing to lose but its
    // place; a newcomer most likely brings one (a scrape).
    OperatorSession* idle = state_->LongestWaiting();
    if (idle == nullptr) {
      boost::system::error_code ignored;
      socket.close(ignored);
      return;
    }
    idle->Close();
  }
  std::make_shared<OperatorSession>(std::move(socket), address, state_)->Start();
}

}  // namespace brelvint
