#pragma once

#include <liburing.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/Asio.h"

namespace brelvint {

// What a connection hands the reactor: it is told of the end of each
// operation it started.
class UringClient {
 public:
  virtual ~UringClient() = default;
  // A receive ended: `result` is the count of `bytes` read (valid only
  // during the call), 0 at the peer's end of stream, or -errno (-ENOBUFS
  // when the shared buffers ran out, -ECANCELED after CancelAll).
  virtual void UringReceived(int result, std::string_view bytes) = 0;
  // A send completed: bytes sent, or -errno.
  virtual void UringSent(int result) = 0;
};

// The loop's socket work through io_uring: a connection reads through one
// receive at a time into a buffer the kernel picks from a shared ring, and
// the receives and sends a pass prepares go to the kernel together in one
// system call (Submit, at the end of the pass). Completions are reaped when
// the ring's descriptor turns readable on the Asio loop, so timers, the
// listeners and everything else stay where they are.
//
// Each operation keeps its client alive (a shared pointer) until its last
// completion, so a send's buffer outlives a connection closed meanwhile.
// One per EventLoop, on its thread.
class UringReactor {
 public:
  // Entries of the submission queue: one pass prepares at most this many
  // operations before it submits on its own.
  static constexpr unsigned kQueueEntries = 4096;
  // Receive buffers shared by every connection. A receive takes one only
  // when bytes arrive, and it goes back as soon as they are handed over;
  // as a connection has one receive at a time, the kernel never reads
  // more than one buffer ahead for it, however fast its peer sends.
  static constexpr unsigned kBufferCount = 1024;
  static constexpr unsigned kBufferBytes = 4096;
  // Completions handled in one go; the rest wait for the next pass.
  static constexpr unsigned kMaxCompletionsPerReap = 1024;

  // A reactor on `context`, or null with `why` saying what refused it (an
  // old kernel, a seccomp filter, io_uring_disabled).
  static std::unique_ptr<UringReactor> Create(asio::io_context& context, std::string* why);
  ~UringReactor();
  UringReactor(const UringReactor&) = delete;
  UringReactor& operator=(const UringReactor&) = delete;

  // Starts one receive on `fd`; it ends with UringReceived. False when the
  // submission queue has no room even after a submit.
  bool Receive(int fd, const std::shared_ptr<UringClient>& client);
  // Sends `size` bytes at `data`, which must stay put until UringSent.
  // False when the submission queue has no room even after a submit.
  bool Send(int fd, const char* data, size_t size, const std::shared_ptr<UringClient>& client);
  // Sends the bytes `message` describes; it and they must stay put until
  // UringSent. False when the submission queue has no room even after a
  // submit.
  bool SendMessage(int fd, const msghdr* message, const std::shared_ptr<UringClient>& client);
  // Cancels every operation on `fd` and submits at once, so the
  // connection's end does not wait for the pass. False when the cancel
  // could not be queued.
  bool CancelAll(int fd);
  // Hands the kernel every operation prepared since the last call. While
  // completions are being handled it never reaps in turn: a full
  // completion queue leaves the entries for the next call.
  void Submit();

 private:
  enum class OperationKind : uint8_t { kReceive, kSend };
  struct Operation;
  explicit UringReactor(asio::io_context& context);
  // Sets up the ring and its receive buffers; false with `why` set.
  bool Open(std::string* why);
  // Tries a receive from the shared buffers and a cancel by descriptor on
  // a socket pair.
  bool ReceivesWork(std::string* why);
  // One receive on `fd` (cancelled by descriptor at once unless
  // `expect_bytes`); its result, or -errno.
  int ProbeReceive(int fd, bool expect_bytes);
  // A free submission entry, submitting first when the queue is full; null
  // when even that made no room.
  io_uring_sqe* NextEntry();
  Operation* NewOperation(OperationKind kind, int fd, const std::shared_ptr<UringClient>& client);
  // What the kernel knows an operation by: its address and generation.
  static uint64_t Tag(const Operation* operation);
  void Track(Operation* operation);
  void Forget(Operation* operation);  // and keeps it as a spare
  void WatchCompletions();
  void Reap();
  void Complete(const io_uring_cqe& cqe);
  void RecycleBuffer(unsigned id);

  io_uring ring_{};
  bool ring_ready_ = false;
  asio::posix::stream_descriptor ring_watch_;
  io_uring_buf_ring* buffers_ring_ = nullptr;
  size_t buffers_ring_bytes_ = 0;
  std::unique_ptr<char[]> buffers_;
  unsigned prepared_ = 0;            // entries not yet submitted
  bool reap_posted_ = false;         // a Reap for leftovers is queued
  bool reaping_ = false;             // completions are being handled
  Operation* operations_ = nullptr;  // every operation out, newest first
  Operation* spare_ = nullptr;       // finished ones, for reuse
};

}  // namespace brelvint
