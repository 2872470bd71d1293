#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/EventLoop.h"
#include "protocol/Transport.h"
#include "protocol/UringReactor.h"

namespace brelvint {

// A connection's bytes through the loop's io_uring reactor. Reading is one
// multishot receive into the reactor's shared buffers; writing hands the
// kernel the output gathered so far as one send, while new output gathers
// behind it for the next.
//
// Shared with the reactor, which keeps it alive while the kernel holds one
// of its operations (a send reads straight from its buffer); reports to its
// owner only until Close.
class UringTransport : public Transport,
                       public UringClient,
                       public std::enable_shared_from_this<UringTransport> {
 public:
  // What one receive may read before it is ended and started again at the
  // next pass. The kernel reads ahead into the shared buffers on its own,
  // and a connection that is held back must not take them from the others:
  // like epoll's one read per readiness, this lets TCP slow a flooder down.
  static constexpr size_t kReceiveBudget = 64 * 1024;

  // Takes over `fd` (closed by Close or the destructor).
  UringTransport(EventLoop& loop, int fd);
  ~UringTransport() override;

  void Start(TransportOwner* owner) override;
  void SetReading(bool on) override;
  void Flush() override;
  void Close() override;

 private:
  void UringReceived(std::string_view bytes) override;
  void UringReceiveEnded(int result) override;
  void UringSent(int result) override;
  bool UringWantsReceive() const override {
    return !ended_ && reading_ && received_since_start_ < kReceiveBudget;
  }

  // Starts a receive unless one runs, reading is off or the stream ended.
  void StartReceive();
  // Asks the kernel to end the running receive, at once.
  void StopReceive();
  void SendMore();
  // Reports the end through the loop, once.
  void End(int64_t code);

  EventLoop& loop_;
  UringReactor& reactor_;
  int fd_;
  TransportOwner* owner_ = nullptr;
  // The bytes of the send in the kernel's hands (which must not move), and
  // how many of them it has taken; kept between sends for its room. While
  // one is out, write_underway_ is set.
  std::unique_ptr<std::string> in_kernel_;
  size_t in_kernel_taken_ = 0;
  // The running receive's token (0: none), and whether a cancel for it is
  // on its way.
  uint64_t receive_ = 0;
  bool receive_cancelled_ = false;
  size_t received_since_start_ = 0;
  bool reading_ = true;  // the owner wants bytes
  bool ended_ = false;   // ended or closed: nothing more is reported
};

}  // namespace brelvint
