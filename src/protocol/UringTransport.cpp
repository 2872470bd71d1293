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
  if (gathering_.empty()) {
    owner_->TransportIdle();
    return;
  }
  // The kernel reads the bytes while new output keeps coming: they move to
  // a buffer of their own, and gathering_ takes the spent one's room.
  if (!in_kernel_) in_kernel_ = std::make_unique<std::string>();
  in_kernel_->swap(gathering_);
  in_kernel_taken_ = 0;
  SendMore();
}

void UringTransport::SendMore() {
  size_t count = std::min(in_kernel_->size() - in_kernel_taken_, kMaxWriteBytes);
  if (!reactor_.Send(fd_, in_kernel_->data() + in_kernel_taken_, count, shared_from_this())) {
    End(EBUSY);
    return;
  }
  write_underway_ = true;
}

void UringTransport::UringSent(int result) {
  write_underway_ = false;
  if (ended_) {
    in_kernel_.reset();  // the kernel is done with it
    return;
  }
  if (result < 0) {
    End(-result);
    return;
  }
  size_t before = Unsent();
  auto n = static_cast<size_t>(result);
  Metrics::Process().output_bytes += n;
  Taken(n);
  in_kernel_taken_ += n;
  if (in_kernel_taken_ < in_kernel_->size()) {
    SendMore();
  } else {
    KeepOrRelease(*in_kernel_, in_kernel_taken_);
    if (in_kernel_->capacity() == 0) in_kernel_.reset();
    in_kernel_taken_ = 0;
  }
  owner_->TransportSent(n, before);
  // What gathered meanwhile follows, or the owner hears that all has left.
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
  DropOutput();
  if (!write_underway_) in_kernel_.reset();
  if (fd_ < 0) return;
  // The kernel's receive and send hold the socket open until they end.
  if (!reactor_.CancelAll(fd_)) ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace brelvint
