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

void EpollTransport::Append(std::string_view bytes) { output_.append(bytes); }

void EpollTransport::AppendOwned(std::string bytes) {
  if (output_.empty()) {
    output_.swap(bytes);
  } else {
    output_.append(bytes);
  }
}

void EpollTransport::Flush() {
  if (ended_ || write_wait_) return;
  size_t before = Unsent();
  if (before == 0) {
    owner_->TransportIdle();
    return;
  }
  boost::system::error_code ec;
  size_t n = socket_.write_some(
      asio::buffer(output_.data() + written_, std::min(before, kMaxWriteBytes)), ec);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
    End(ec.value());
    return;
  }
  Metrics::Process().output_bytes += n;
  if (n == before) {
    KeepOrRelease(output_, n);
    written_ = 0;
  } else {
    written_ += n;
    // A large answer drains over many writes: move the rest to the front
    // only once most of the buffer is spent, not after every write.
    if (written_ >= output_.size() / 2) {
      output_.erase(0, written_);
      written_ = 0;
    }
    WatchWritable();
  }
  owner_->TransportSent(n, before);
  if (n == before && !ended_ && !write_wait_ && Unsent() == 0) owner_->TransportIdle();
}

void EpollTransport::WatchWritable() {
  write_wait_ = true;
  socket_.async_wait(asio::socket_base::wait_write,
                     [self = shared_from_this()](const boost::system::error_code& ec) {
                       self->write_wait_ = false;
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
  std::string().swap(output_);
  written_ = 0;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

}  // namespace brelvint
