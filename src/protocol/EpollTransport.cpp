#include "protocol/EpollTransport.h"

#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <cerrno>

#include "base/Metrics.h"

namespace brelvint {

namespace {

// One receive buffer for the whole (single-threaded) loop: an idle
// connection holds no buffer of its own.
char g_read_chunk[EpollTransport::kReadChunk];

}  // namespace

EpollTransport::EpollTransport(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}

EpollTransport::~EpollTransport() = default;

void EpollTransport::Start(TransportOwner* owner) {
  owner_ = owner;
  WatchReadable();
}

void EpollTransport::SetReading(bool on) {
  reading_ = on;
  if (on) WatchReadable();
}

void EpollTransport::WatchReadable() {
  if (read_wait_ || ended_ || !reading_) return;
  read_wait_ = true;
  socket_.async_wait(asio::socket_base::wait_read,
                     [self = shared_from_this()](const boost::system::error_code& ec) {
                       self->read_wait_ = false;
                       self->ReadWaitDone(ec);
                     });
}

void EpollTransport::ReadWaitDone(const boost::system::error_code& ec) {
  if (!ec) {
    OnReadable();
  } else if (ec != asio::error::operation_aborted) {
    End(ec.value());
  }
}

void EpollTransport::OnReadable() {
  if (ended_ || !reading_) return;
  boost::system::error_code ec;
  size_t n = socket_.read_some(asio::buffer(g_read_chunk, kReadChunk), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    WatchReadable();
    return;
  }
  if (ec == asio::error::eof) {
    End(0);
    return;
  }
  if (ec) {
    End(ec.value());
    return;
  }
  owner_->TransportReceived(std::string_view(g_read_chunk, n));
  WatchReadable();
}

void EpollTransport::Flush() {
  if (ended_ || write_underway_) return;
  if (Unsent() > 0 && !WriteSome()) return;
  // All of it left (else a writable wait goes on with the rest).
  if (!ended_ && !write_underway_ && Unsent() == 0) owner_->TransportIdle();
}

bool EpollTransport::WriteSome() {
  iovec vectors[kMaxWriteVectors];
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = output_.Gather(vectors, kMaxWriteVectors, kMaxWriteBytes);
  ssize_t sent = ::sendmsg(socket_.native_handle(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    End(errno);
    return false;
  }
  size_t n = sent > 0 ? static_cast<size_t>(sent) : 0;
  size_t before = Unsent();
  Metrics::Process().output_bytes += n;
  Taken(n);
  // What one write did not take waits for the kernel's room.
  if (Unsent() > 0) WatchWritable();
  owner_->TransportSent(n, before);
  return true;
}

void EpollTransport::WatchWritable() {
  write_underway_ = true;
  socket_.async_wait(asio::socket_base::wait_write,
                     [self = shared_from_this()](const boost::system::error_code& ec) {
                       self->write_underway_ = false;
                       self->WriteWaitDone(ec);
                     });
}

void EpollTransport::WriteWaitDone(const boost::system::error_code& ec) {
  if (!ec) {
    Flush();
  } else if (ec != asio::error::operation_aborted) {
    End(ec.value());
  }
}

void EpollTransport::End(int64_t code) {
  if (ended_) return;
  ended_ = true;
  asio::post(socket_.get_executor(), [self = shared_from_this(), code] {
    if (self->owner_ != nullptr) self->owner_->TransportEnded(code);
  });
}

void EpollTransport::Close() {
  ended_ = true;
  owner_ = nullptr;
  output_.Clear(false);
  boost::system::error_code ignored;
  socket_.close(ignored);
}

}  // namespace brelvint
