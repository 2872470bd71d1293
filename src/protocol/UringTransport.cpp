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
  if (on) {
    StartReceive();  // unless the stopped one has yet to end: its end starts it
  } else {
    StopReceive();
  }
}

void UringTransport::StartReceive() {
  if (receive_ != 0 || ended_ || !reading_) return;
  received_since_start_ = 0;
  receive_cancelled_ = false;
  receive_ = reactor_.Receive(fd_, shared_from_this());
  if (receive_ == 0) End(EBUSY);
}

void UringTransport::StopReceive() {
  if (receive_ == 0 || receive_cancelled_) return;
  receive_cancelled_ = true;
  reactor_.CancelReceive(receive_);
}

void UringTransport::UringReceived(std::string_view bytes) {
  // Bytes the kernel already took are handed on even while reading is held
  // back: at most the budget of one receive.
  if (ended_) return;
  received_since_start_ += bytes.size();
  owner_->TransportReceived(bytes);
  if (!ended_ && received_since_start_ >= kReceiveBudget) StopReceive();
}

void UringTransport::UringReceiveEnded(int result) {
  receive_ = 0;
  if (ended_) return;
  if (result == -ECANCELED) {
    // Held back, or its budget spent: it starts again at the end of this
    // pass if reading is on by then, else when reading resumes.
    loop_.AtPassEnd([self = shared_from_this()] { self->StartReceive(); });
  } else if (result == 0) {
    End(0);
  } else {
    End(-result);
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
