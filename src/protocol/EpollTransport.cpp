#include "protocol/EpollTransport.h"

#include <algorithm>
#include <boost/asio/post.hpp>

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
  // At most two writes: what a writable wait left, then what gathered.
  while (!ended_ && !write_underway_) {
    if (Unsent() == 0) {
      owner_->TransportIdle();
      return;
    }
    if (written_ == writing_.size()) {
      writing_.swap(gathering_);
      gathering_.clear();
      written_ = 0;
    }
    if (!WriteSome()) return;
  }
}

bool EpollTransport::WriteSome() {
  size_t before = Unsent();
  boost::system::error_code ec;
  size_t n = socket_.write_some(asio::buffer(writing_.data() + written_,
                                             std::min(writing_.size() - written_, kMaxWriteBytes)),
                                ec);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
    End(ec.value());
    return false;
  }
  Metrics::Process().output_bytes += n;
  Taken(n);
  written_ += n;
  if (written_ == writing_.size()) {
    KeepOrRelease(writing_, written_);
    written_ = 0;
  } else {
    WatchWritable();
  }
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
  DropOutput();
  std::string().swap(writing_);
  written_ = 0;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

}  // namespace brelvint
