#include "protocol/TCPSocket.h"

#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>

#include "base/Metrics.h"
#include "protocol/Asio.h"
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

TCPSocket::~TCPSocket() {
  // Only a connection that never ended still holds its io_uring descriptor
  // (socket_ closes its own).
  if (uring_fd_ >= 0) ::close(uring_fd_);
}

void TCPSocket::Adopt(ServerSocket* owner, uint64_t sequence) {
  owner_ = owner;
  sequence_ = sequence;
  Begin();
}

void TCPSocket::Begin() {
  boost::system::error_code ec;
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
  if (loop_.Uring() != nullptr) {
    // Asio's reactor would otherwise wake at every arrival on it too.
    uring_fd_ = socket_.release(ec);
    if (ec) uring_fd_ = -1;
  }
  connected_ = true;
  Connected();
  WatchReadable();
}

bool TCPSocket::Connect(const std::string& address, uint16_t port) {
  boost::system::error_code ec;
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
  boost::system::error_code ec;
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
  acceptor_->async_accept(socket_,
                          [self = shared_from_this()](const boost::system::error_code& accept_ec) {
                            self->acceptor_.reset();
                            if (accept_ec) {
                              if (accept_ec != asio::error::operation_aborted)
                                self->last_error_ = accept_ec.value();
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
  if (on) {
    WatchReadable();
  } else if (receive_ != 0) {
    loop_.Uring()->CancelReceive(receive_);
  }
}

void TCPSocket::WatchReadable() {
  if (uring_fd_ >= 0) {
    if (receive_ == 0 && !ended_ && reading_) {
      receive_ = loop_.Uring()->Receive(uring_fd_, shared_from_this());
    }
    return;
  }
  if (read_armed_ || ended_ || !reading_) return;
  read_armed_ = true;
  socket_.async_wait(asio::socket_base::wait_read,
                     [self = shared_from_this()](const boost::system::error_code& ec) {
                       self->read_armed_ = false;
                       self->ReadWaitDone(ec);
                     });
}

void TCPSocket::ReadWaitDone(const boost::system::error_code& ec) {
  if (!ec) {
    OnReadable();
  } else if (ec != asio::error::operation_aborted) {
    Abort(ec.value());
  }
}

void TCPSocket::OnReadable() {
  if (ended_ || !reading_) return;
  boost::system::error_code ec;
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

void TCPSocket::Write(std::string_view bytes) { WriteWhole(bytes, {}); }

void TCPSocket::WriteWhole(std::string_view first, std::string_view second) {
  if (!connected_) return;
  output_.append(first);
  output_.append(second);
  Queued(first.size() + second.size());
}

void TCPSocket::WriteOwned(std::string bytes) {
  if (!connected_) return;
  size_t count = bytes.size();
  if (output_.empty()) {
    output_.swap(bytes);
  } else {
    output_.append(bytes);
  }
  Queued(count);
}

void TCPSocket::Queued(size_t count) {
  NoteQueued(count);
  if (PendingOutput() - PendingReplyOutput() > kMaxPendingOutput) {
    CutSlowConsumer();
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

void TCPSocket::CutSlowConsumer() {
  ++Metrics::Process().slow_consumers;
  Abort(ENOBUFS);
}

void TCPSocket::NoteQueued(size_t count) {
  if (replies_) replies_->queued += count;
  if (!answering_ || count == 0) return;
  // Output_ already holds these bytes, so a fresh ledger starts past them.
  if (!replies_) {
    replies_ = std::make_unique<ReplyLedger>();
    replies_->queued = PendingOutput();
  }
  uint64_t begin = replies_->queued - count;
  replies_->unsent += count;
  auto& ranges = replies_->ranges;
  if (!ranges.empty() && ranges.back().end == begin) {
    ranges.back().end = replies_->queued;
  } else {
    ranges.push_back({begin, replies_->queued});
  }
}

void TCPSocket::NoteSent(size_t count) {
  if (!replies_) return;
  uint64_t sent = replies_->sent += count;
  auto& ranges = replies_->ranges;
  size_t finished = 0;
  for (; finished < ranges.size() && ranges[finished].begin < sent; ++finished) {
    auto& range = ranges[finished];
    uint64_t done = std::min(range.end, sent);
    replies_->unsent -= static_cast<size_t>(done - range.begin);
    if (done < range.end) {
      range.begin = done;
      break;
    }
  }
  ranges.erase(ranges.begin(), ranges.begin() + static_cast<std::ptrdiff_t>(finished));
  if (replies_->unsent == 0) replies_.reset();
}

void TCPSocket::RequestFlush() {
  if (!FlushScheduled() && !write_armed_) loop_.ScheduleFlush(shared_from_this());
}

void TCPSocket::Flush() {
  if (ended_ || write_armed_) return;
  if (uring_fd_ >= 0) {
    FlushThroughUring();
    return;
  }
  if (PendingOutput() > 0) {
    size_t before = PendingOutput();
    boost::system::error_code ec;
    size_t n = socket_.write_some(
        asio::buffer(output_.data() + sent_, std::min(before, kMaxWriteBytes)), ec);
    Metrics::Process().output_bytes += n;
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
      Abort(ec.value());
      return;
    }
    NoteSent(n);
    if (n == before) {
      KeepOrRelease(output_, n);
      sent_ = 0;
    } else {
      sent_ += n;
      // A large answer drains over many writes: move the rest to the front
      // only once most of the buffer is spent, not after every write.
      if (sent_ >= output_.size() / 2) {
        output_.erase(0, sent_);
        sent_ = 0;
      }
      WatchWritable();
    }
    if (before > kMaxPendingOutput && PendingOutput() <= kMaxPendingOutput) OutputDrained();
    if (n != before) return;
  }
  if (close_after_flush_) Abort(close_code_);
}

void TCPSocket::KeepOrRelease(std::string& buffer, size_t flushed) {
  // A busy connection keeps its buffer for the next pass; a quiet one gives
  // it back, so thousands of idle connections pin nothing.
  if (flushed >= kKeepBufferAfterBytes && buffer.capacity() <= kKeepBufferBytes) {
    buffer.clear();
  } else {
    std::string().swap(buffer);
  }
}

void TCPSocket::FlushThroughUring() {
  if (output_.empty()) {
    if (close_after_flush_) Abort(close_code_);
    return;
  }
  // The kernel reads the bytes while new output keeps coming: they move to
  // a buffer of their own, and output_ takes the spent one's room.
  if (!inflight_) inflight_ = std::make_unique<std::string>();
  inflight_->swap(output_);
  sent_ = 0;
  SendInflight();
}

void TCPSocket::SendInflight() {
  write_armed_ = true;
  size_t count = std::min(inflight_->size() - sent_, kMaxWriteBytes);
  loop_.Uring()->Send(uring_fd_, inflight_->data() + sent_, count, shared_from_this());
}

void TCPSocket::UringSent(int result) {
  write_armed_ = false;
  if (ended_) {
    inflight_.reset();
    return;
  }
  if (result < 0) {
    Abort(-result);
    return;
  }
  size_t before = PendingOutput();
  auto n = static_cast<size_t>(result);
  Metrics::Process().output_bytes += n;
  NoteSent(n);
  sent_ += n;
  if (sent_ < inflight_->size()) {
    SendInflight();
  } else {
    KeepOrRelease(*inflight_, sent_);
    if (inflight_->capacity() == 0) inflight_.reset();
    sent_ = 0;
  }
  if (before > kMaxPendingOutput && PendingOutput() <= kMaxPendingOutput) OutputDrained();
  // What gathered meanwhile follows, or the close that waited for it.
  if (!write_armed_) Flush();
}

void TCPSocket::UringReceived(std::string_view bytes) {
  // Bytes the kernel already took are handed on even while reading is held
  // back: at most the few buffers of a stop in progress.
  if (ended_) return;
  fresh_ = bytes;
  DataAvailable();
  fresh_ = {};
}

void TCPSocket::UringReceiveEnded(int result) {
  receive_ = 0;
  if (ended_) return;
  if (result == -ECANCELED) {
    WatchReadable();  // held back and let go again meanwhile
  } else if (result == 0) {
    Abort(kPeerClosed);
  } else {
    Abort(-result);
  }
}

void TCPSocket::WatchWritable() {
  write_armed_ = true;
  socket_.async_wait(asio::socket_base::wait_write,
                     [self = shared_from_this()](const boost::system::error_code& ec) {
                       self->write_armed_ = false;
                       self->WriteWaitDone(ec);
                     });
}

void TCPSocket::WriteWaitDone(const boost::system::error_code& ec) {
  if (!ec) {
    Flush();
  } else if (ec != asio::error::operation_aborted) {
    Abort(ec.value());
  }
}

void TCPSocket::CloseWhenFlushed(int64_t code) {
  if (ended_) return;
  if (close_after_flush_) return;
  close_after_flush_ = true;
  close_code_ = code;
  // The timer owns itself through its handler, so a connection that is not
  // closing carries none; once the connection has ended, Abort does nothing.
  auto timer = std::make_shared<asio::steady_timer>(loop_.Context(), kCloseFlushLimit);
  timer->async_wait([timer, weak = weak_from_this()](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!ec && self) self->Abort(self->close_code_);
  });
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
  sent_ = 0;
  replies_.reset();
  boost::system::error_code ignored;
  if (uring_fd_ >= 0) {
    // The kernel's receive and send hold the socket open until cancelled.
    loop_.Uring()->CancelAll(uring_fd_);
    ::close(uring_fd_);
    uring_fd_ = -1;
  }
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
