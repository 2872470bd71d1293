#include "protocol/TCPSocket.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>

#include "base/Metrics.h"
#include "protocol/Asio.h"
#include "protocol/EpollTransport.h"
#include "protocol/ServerSocket.h"
#include "protocol/UringTransport.h"

namespace brelvint {

std::string_view TCPSocket::fresh_;

TCPSocket::TCPSocket(EventLoop& loop) : loop_(loop), socket_(loop.Context()) {}

TCPSocket::~TCPSocket() {
  if (transport_) transport_->Close();
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
    int fd = socket_.release(ec);
    if (!ec) transport_ = std::make_shared<UringTransport>(loop_, fd);
  }
  if (!transport_) transport_ = std::make_shared<EpollTransport>(std::move(socket_));
  connected_ = true;
  Connected();
  transport_->Start(this);
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
  if (!ended_) transport_->SetReading(on);
}

void TCPSocket::TransportReceived(std::string_view bytes) {
  if (ended_) return;
  fresh_ = bytes;
  DataAvailable();
  fresh_ = {};
}

void TCPSocket::Write(std::string_view bytes) { WriteWhole(bytes, {}); }

void TCPSocket::WriteWhole(std::string_view first, std::string_view second) {
  if (!connected_) return;
  transport_->Append(first);
  if (!second.empty()) transport_->Append(second);
  Queued(first.size() + second.size());
}

void TCPSocket::WriteOwned(std::string bytes) {
  if (!connected_) return;
  size_t count = bytes.size();
  transport_->AppendOwned(std::move(bytes));
  Queued(count);
}

void TCPSocket::BookQueued(size_t count) {
  if (answering_ || replies_) NoteQueued(count);
  const Transport& transport = *transport_;
  if (transport.Unsent() - PendingReplyOutput() > kMaxPendingOutput) {
    CutSlowConsumer();
    return;
  }
  if (transport.WriteUnderway()) return;  // it goes on with this when it ends
  // Enough gathered for one large write: send it now rather than hold it
  // until the end of the pass.
  if (transport.Gathered() >= kEagerFlushBytes) {
    loop_.FlushNow(shared_from_this());
    return;
  }
  if (!FlushScheduled()) loop_.ScheduleFlush(shared_from_this());
}

void TCPSocket::CutSlowConsumer() {
  ++Metrics::Process().slow_consumers;
  Abort(ENOBUFS);
}

void TCPSocket::NoteQueued(size_t count) {
  if (replies_) replies_->queued += count;
  if (!answering_ || count == 0) return;
  // The transport already holds these bytes, so a fresh ledger starts past
  // them.
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
  if (!FlushScheduled() && !transport_->WriteUnderway()) loop_.ScheduleFlush(shared_from_this());
}

void TCPSocket::Flush() {
  if (!ended_) transport_->Flush();
}

void TCPSocket::TransportSent(size_t count, size_t unsent_before) {
  NoteSent(count);
  if (unsent_before > kMaxPendingOutput && unsent_before - count <= kMaxPendingOutput) {
    OutputDrained();
  }
}

void TCPSocket::TransportIdle() {
  if (close_after_flush_) Abort(close_code_);
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
  if (!transport_->WriteUnderway()) RequestFlush();
}

void TCPSocket::Close() { Abort(ECONNABORTED); }

void TCPSocket::Abort(int64_t code) {
  if (ended_) return;
  ended_ = true;
  connected_ = false;
  last_error_ = code;
  replies_.reset();
  if (transport_) transport_->Close();
  boost::system::error_code ignored;
  socket_.close(ignored);
  asio::post(loop_.Context(), [self = shared_from_this()] { self->RaiseError(); });
}

void TCPSocket::RaiseError() {
  Error(last_error_);
  if (owner_ != nullptr) owner_->Release(*this);
}

}  // namespace brelvint
