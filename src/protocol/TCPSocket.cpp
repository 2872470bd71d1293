#include "protocol/TCPSocket.h"

#include <cerrno>

#include <asio/post.hpp>

#include "base/Metrics.h"
#include "protocol/ServerSocket.h"

namespace brelvint {

namespace {

// One receive buffer for the whole (single-threaded) loop: an idle
// connection holds no buffer of its own.
constexpr size_t kReadChunk = 64 * 1024;
char g_read_chunk[kReadChunk];

}  // namespace

std::string_view TCPSocket::fresh_;

TCPSocket::TCPSocket(EventLoop& loop) : loop_(loop), socket_(loop.Context()) {}

TCPSocket::~TCPSocket() = default;

void TCPSocket::Adopt(ServerSocket* owner, uint64_t sequence) {
  owner_ = owner;
  sequence_ = sequence;
  Begin();
}

void TCPSocket::Begin() {
  std::error_code ec;
  socket_.non_blocking(true, ec);
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  auto peer = socket_.remote_endpoint(ec);
  if (!ec) {
    auto address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
      address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    remote_address_ = address.to_string();
  }
  connected_ = true;
  Connected();
  WatchReadable();
}

bool TCPSocket::Connect(const std::string& address, uint16_t port) {
  std::error_code ec;
  auto ip = asio::ip::make_address(address, ec);
  if (!ec) socket_.connect(asio::ip::tcp::endpoint(ip, port), ec);
  if (ec) {
    last_error_ = ec.value();
    return false;
  }
  Begin();
  return true;
}

bool TCPSocket::Listen(const std::string& address) {
  std::error_code ec;
  auto ip = asio::ip::make_address(address, ec);
  acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(loop_.Context());
  asio::ip::tcp::endpoint endpoint(ip, static_cast<uint16_t>(Port));
  if (!ec) acceptor_->open(endpoint.protocol(), ec);
  if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_->bind(endpoint, ec);
  if (!ec) acceptor_->listen(1, ec);
  if (ec) {
    last_error_ = ec.value();
    acceptor_.reset();
    return false;
  }
  acceptor_->async_accept(socket_, [self = shared_from_this()](const std::error_code& accept_ec) {
    self->acceptor_.reset();
    if (accept_ec) {
      if (accept_ec != asio::error::operation_aborted) self->last_error_ = accept_ec.value();
      return;
    }
    self->Begin();
  });
  return true;
}

std::string TCPSocket::ReadAll() {
  std::string out;
  TakeReceived(out);
  return out;
}

void TCPSocket::TakeReceived(std::string& out) {
  out.append(fresh_);
  fresh_ = {};
}

void TCPSocket::SetReading(bool on) {
  reading_ = on;
  if (on) WatchReadable();
}

void TCPSocket::WatchReadable() {
  if (read_armed_ || ended_ || !reading_) return;
  read_armed_ = true;
  socket_.async_wait(asio::socket_base::wait_read,
                     [self = shared_from_this()](const std::error_code& ec) {
                       self->read_armed_ = false;
                       if (!ec) self->OnReadable();
                     });
}

void TCPSocket::OnReadable() {
  if (ended_ || !reading_) return;
  std::error_code ec;
  size_t n = socket_.read_some(asio::buffer(g_read_chunk, kReadChunk), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    WatchReadable();
    return;
  }
  if (ec == asio::error::eof) {
    Abort(kPeerClosed);
    return;
  }
  if (ec) {
    Abort(ec.value());
    return;
  }
  fresh_ = std::string_view(g_read_chunk, n);
  DataAvailable();
  fresh_ = {};
  WatchReadable();
}

void TCPSocket::Write(std::string_view bytes) {
  if (!connected_) return;
  output_.append(bytes);
  if (output_.size() > kMaxPendingOutput) {
    ++Metrics::Process().slow_consumers;
    Abort(ENOBUFS);
    return;
  }
  if (write_armed_) return;  // the kernel is full; the writable wait flushes
  // Enough gathered for one large write: send it now rather than hold it
  // until the end of the pass.
  if (output_.size() >= kEagerFlushBytes) {
    loop_.FlushNow(shared_from_this());
    return;
  }
  RequestFlush();
}

void TCPSocket::RequestFlush() {
  if (!FlushScheduled() && !write_armed_) loop_.ScheduleFlush(shared_from_this());
}

void TCPSocket::Flush() {
  if (ended_ || write_armed_) return;
  if (!output_.empty()) {
    std::error_code ec;
    size_t n = socket_.write_some(asio::buffer(output_), ec);
    Metrics::Process().output_bytes += n;
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
      Abort(ec.value());
      return;
    }
    if (n == output_.size()) {
      // A busy connection keeps its buffer for the next pass; a quiet one
      // gives it back, so thousands of idle connections pin nothing.
      if (n >= kKeepBufferAfterBytes && output_.capacity() <= 4 * kEagerFlushBytes) {
        output_.clear();
      } else {
        std::string().swap(output_);
      }
    } else {
      output_.erase(0, n);
      WatchWritable();
      return;
    }
  }
  if (close_after_flush_) Abort(close_code_);
}

void TCPSocket::WatchWritable() {
  write_armed_ = true;
  socket_.async_wait(asio::socket_base::wait_write,
                     [self = shared_from_this()](const std::error_code& ec) {
                       self->write_armed_ = false;
                       if (!ec) self->Flush();
                     });
}

void TCPSocket::CloseWhenFlushed(int64_t code) {
  if (ended_) return;
  close_after_flush_ = true;
  close_code_ = code;
  // Nothing may be queued yet; the flush still runs and ends the stream.
  RequestFlush();
}

void TCPSocket::Close() { Abort(ECONNABORTED); }

void TCPSocket::Abort(int64_t code) {
  if (ended_) return;
  ended_ = true;
  connected_ = false;
  last_error_ = code;
  std::string().swap(output_);
  std::error_code ignored;
  socket_.close(ignored);
  if (acceptor_) acceptor_->close(ignored);
  asio::post(loop_.Context(), [self = shared_from_this()] { self->RaiseError(); });
}

void TCPSocket::RaiseError() {
  Error(last_error_);
  if (owner_ != nullptr) owner_->Release(*this);
}

void TCPSocket::Poll() { loop_.Context().poll(); }

}  // namespace brelvint
