#include "protocol/UringTransport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>

#include "base/Metrics.h"

namespace brelvint {

UringTransport::UringTransport(EventLoop& loop, int fd)
    : loop_(loop), reactor_(*loop.Uring()), fd_(fd) {}

UringTransport::~UringTransport() {
  if (fd_ >= 0) ::close(fd_);
}

void UringTransport::Start(TransportOwner* owner) {
  owner_ = owner;
  StartReceive();
}

void UringTransport::SetReading(bool on) {
  reading_ = on;
  StartReceive();
}

void UringTransport::StartReceive() {
  if (receiving_ || ended_ || !reading_) return;
  if (!reactor_.Receive(fd_, shared_from_this())) {
    End(EBUSY);
    return;
  }
  receiving_ = true;
}

void UringTransport::UringReceived(int result, std::string_view bytes) {
  receiving_ = false;
  if (ended_) return;
  if (result > 0) {
    // Handed on even when reading stopped meanwhile: one buffer at most.
    owner_->TransportReceived(bytes);
    StartReceive();
  } else if (result == -ENOBUFS) {
    // Every shared buffer is out: the bytes wait in the kernel until the
    // pass has handed the others over.
    loop_.AtPassEnd([self = shared_from_this()] { self->StartReceive(); });
  } else {
    End(-result);  // 0 at the peer's end of stream
  }
}

void UringTransport::Flush() {
  if (ended_ || write_underway_) return;
  if (Unsent() == 0) {
    owner_->TransportIdle();
    return;
  }
  SendMore();
}

UringTransport::Gathered::Gathered(const iovec* from, size_t count) : vectors(new iovec[count]) {
  std::copy(from, from + count, vectors.get());
  message.msg_iov = vectors.get();
  message.msg_iovlen = count;
}

void UringTransport::SendMore() {
  iovec pieces[kMaxWriteVectors];
  size_t count = output_.Gather(pieces, kMaxWriteVectors, kMaxWriteBytes);
  size_t bytes = 0;
  for (size_t i = 0; i < count; ++i) bytes += pieces[i].iov_len;
  bool queued = false;
  if (count == 1) {
    queued =
        reactor_.Send(fd_, static_cast<const char*>(pieces[0].iov_base), bytes, shared_from_this());
  } else {
    gathered_ = std::make_unique<Gathered>(pieces, count);
    queued = reactor_.SendMessage(fd_, &gathered_->message, shared_from_this());
  }
  if (!queued) {
    End(EBUSY);
    return;
  }
  handed_ = bytes;
  write_underway_ = true;
}

void UringTransport::UringSent(int result) {
  write_underway_ = false;
  handed_ = 0;
  gathered_.reset();
  retired_.reset();  // closed meanwhile: the kernel is done with its bytes
  if (ended_) return;
  if (result < 0) {
    End(-result);
    return;
  }
  size_t before = Unsent();
  auto n = static_cast<size_t>(result);
  Metrics::Process().output_bytes += n;
  Taken(n);
  owner_->TransportSent(n, before);
  // The rest, and what gathered meanwhile, follows; or the owner hears that
  // all has left.
  if (!ended_ && !write_underway_) Flush();
}

void UringTransport::End(int64_t code) {
  if (ended_) return;
  ended_ = true;
  asio::post(loop_.Context(), [self = shared_from_this(), code] {
    if (self->owner_ != nullptr) self->owner_->TransportEnded(code);
  });
}

void UringTransport::Close() {
  ended_ = true;
  owner_ = nullptr;
  if (write_underway_) {
    retired_ = std::make_unique<OutputQueue>();
    retired_->Swap(output_);
  }
  output_.Clear(false);
  handed_ = 0;
  if (fd_ < 0) return;
  // The kernel's receive and send hold the socket open until they end.
  if (!reactor_.CancelAll(fd_)) ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace brelvint
