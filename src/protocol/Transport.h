#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/OutputQueue.h"

namespace brelvint {

// What a transport tells the connection it carries, on the loop thread.
// TransportSent and TransportIdle may come from inside Flush, as its last
// step; TransportReceived and TransportEnded never come from inside a call
// the connection made, so the connection may act on them (write, stop
// reading, end).
class TransportOwner {
 public:
  virtual ~TransportOwner() = default;
  // Bytes read from the kernel; valid only during the call.
  virtual void TransportReceived(std::string_view bytes) = 0;
  // The kernel took `count` bytes of output; `unsent_before` is what was
  // unsent just before.
  virtual void TransportSent(size_t count, size_t unsent_before) = 0;
  // The output the connection queued has all left (nothing is unsent and no
  // write is underway).
  virtual void TransportIdle() = 0;
  // The stream ended: 0 at the peer's end of stream, else an errno value.
  virtual void TransportEnded(int64_t code) = 0;
};

// How one connection's bytes reach the kernel: through readiness waits and
// non-blocking system calls (EpollTransport), or through io_uring
// (UringTransport). Chosen once, when the connection begins; the two keep
// their own state, named for what it means on that back end.
//
// The transport owns the connection's unsent output, so that a back end
// whose sends are in the kernel's hands keeps those bytes alive and still;
// it outlives the connection for as long as the kernel may touch them, and
// reports to its owner only until Close.
class Transport {
 public:
  // One write hands the kernel at most this much: a reply of many megabytes
  // leaves over several loop passes, each a fraction of a millisecond,
  // instead of holding up every other connection for one long copy.
  static constexpr size_t kMaxWriteBytes = 256 * 1024;
  // Pieces of output one write gathers at most.
  static constexpr size_t kMaxWriteVectors = 64;
  // A write at least this large marks a busy connection, which keeps its
  // own output buffer (up to OutputQueue::kKeepOwnChunkBytes) for the next
  // pass: giving such a buffer back each time costs a fresh mapping and
  // its page faults at the next. A quiet connection gives it back, so
  // thousands of idle connections pin nothing.
  static constexpr size_t kKeepBufferAfterBytes = 1024;

  virtual ~Transport() = default;

  // Starts reading (subject to SetReading) and reporting to `owner`.
  virtual void Start(TransportOwner* owner) = 0;
  // Stops or resumes reading: unread bytes stay in the kernel and TCP slows
  // the sender down. A few bytes read before the stop lands may still be
  // reported.
  virtual void SetReading(bool on) = 0;
  // Hands the kernel what gathered, unless a write is underway.
  virtual void Flush() = 0;
  // Ends the stream: drops unsent output, stops the kernel's work on the
  // descriptor and closes it; reports nothing more.
  virtual void Close() = 0;

  // Queues bytes behind those already queued. Not virtual: a connection's
  // messages are queued one by one.
  void Append(std::string_view bytes) { output_.Append(bytes); }
  // Like Append, without a copy.
  void AppendOwned(std::string bytes) { output_.AppendOwned(std::move(bytes)); }
  // Queues shared bytes (a relayed message) without a copy.
  void AppendShared(const OutputQueue::Slice& slice) { output_.AppendShared(slice); }
  // Bytes queued or underway and not yet taken by the kernel.
  size_t Unsent() const { return output_.Size(); }
  // Bytes queued and not yet handed to a write.
  size_t Gathered() const { return output_.Size() - handed_; }
  // True while a write is underway (the kernel's buffer was full, or a send
  // is in its hands): when it ends, the transport goes on with whatever
  // gathered meanwhile, so nobody needs to ask for a flush.
  bool WriteUnderway() const { return write_underway_; }

 protected:
  // The kernel took `count` bytes from the front; a write that emptied the
  // queue gives its room back unless it was large (see
  // kKeepBufferAfterBytes).
  void Taken(size_t count) {
    output_.Consume(count);
    if (output_.Empty()) output_.Clear(count >= kKeepBufferAfterBytes);
  }

  OutputQueue output_;
  // Bytes of the front of output_ in a send in the kernel's hands.
  size_t handed_ = 0;
  bool write_underway_ = false;
};

}  // namespace brelvint
