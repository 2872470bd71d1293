#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "protocol/EventLoop.h"
#include "protocol/Transport.h"
#include "protocol/UringReactor.h"

namespace brelvint {

// A connection's bytes through the loop's io_uring reactor. Reading is one
// receive at a time into the reactor's shared buffers, started again as
// each ends while reading is on; writing hands the kernel the front of the
// output as one send of its pieces, while new output gathers behind it for
// the next.
//
// Shared with the reactor, which keeps it alive while the kernel holds one
// of its operations (a send reads straight from its buffer); reports to its
// owner only until Close.
class UringTransport : public Transport,
                       public UringClient,
                       public std::enable_shared_from_this<UringTransport> {
 public:
  // Takes over `fd` (closed by Close or the destructor).
  UringTransport(EventLoop& loop, int fd);
  ~UringTransport() override;

  void Start(TransportOwner* owner) override;
  void SetReading(bool on) override;
  void Flush() override;
  void Close() override;

 private:
  void UringReceived(int result, std::string_view bytes) override;
  void UringSent(int result) override;

  // Starts a receive unless one runs, reading is off or the stream ended.
  void StartReceive();
  void SendMore();
  // Reports the end through the loop, once.
  void End(int64_t code);

  EventLoop& loop_;
  UringReactor& reactor_;
  int fd_;
  TransportOwner* owner_ = nullptr;
  // What a send of several pieces hands the kernel, which reads it until
  // the send ends. Made for each such send and freed when it ends, so an
  // idle connection holds none (room for kMaxWriteVectors inline would be
  // 1 KiB per connection). A send of one piece needs none.
  struct Gathered {
    Gathered(const iovec* vectors, size_t count);
    msghdr message{};
    std::unique_ptr<iovec[]> vectors;
  };
  std::unique_ptr<Gathered> gathered_;
  // The output of a connection closed while a send was out: its bytes stay
  // until the send ends.
  std::unique_ptr<OutputQueue> retired_;
  // A receive is in the kernel's hands. Stopping reading starts no new
  // one, so at most one buffer's worth arrives after a stop: holding back
  // needs no cancel, which a busy receive may miss.
  bool receiving_ = false;
  bool reading_ = true;  // the owner wants bytes
  bool ended_ = false;   // ended or closed: nothing more is reported
};

}  // namespace brelvint
