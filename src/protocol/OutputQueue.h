#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brelvint {

// One connection's unsent output, as a run of pieces of buffers that never
// move: the connection's own bytes (replies, notices), and slices of
// buffers shared with other connections. A relayed message is copied once
// into a shared buffer (Share), and every recipient's queue only refers to
// it; consecutive messages of one shared buffer merge into one piece, so a
// recipient's pass of relayed messages is one or two pieces, however many
// messages it holds. A write gathers the pieces at the front (Gather) and
// drops what the kernel took (Consume).
//
// Bytes once queued stay where they are until consumed, even while new
// ones are queued behind them: a send in the kernel's hands reads them.
// Single-threaded, like the loop.
class OutputQueue {
 public:
  struct Chunk;

  // A counted hold on bytes of a shared buffer.
  class Slice {
   public:
    Slice() = default;
    Slice(const Slice& other);
    Slice& operator=(const Slice& other) = delete;
    ~Slice();
    size_t size() const { return end_ - begin_; }

   private:
    friend class OutputQueue;
    Slice(Chunk* chunk, size_t begin, size_t end);
    Chunk* chunk_ = nullptr;
    size_t begin_ = 0;
    size_t end_ = 0;
  };

  // Shared buffers are this large, unless one message is larger.
  static constexpr size_t kSharedChunkBytes = 64 * 1024;
  // A connection's own bytes go into buffers of at least this much room,
  // doubling as its output grows: thousands of logins answered in one pass
  // hold a few hundred bytes each, not pages.
  static constexpr size_t kOwnChunkBytes = 256;
  // A whole reply at least this large is queued as it is, not copied.
  static constexpr size_t kCopyBelowBytes = 4096;
  // An own buffer of at most this much room is kept for the next pass by a
  // busy connection (see Release).
  static constexpr size_t kKeepOwnChunkBytes = 1 << 20;

  OutputQueue() = default;
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;
  ~OutputQueue();

  // Copies `bytes` into the loop's current shared buffer, for queues to
  // refer to.
  static Slice Share(std::string_view bytes);

  // Queues a copy of `bytes` behind what is queued.
  void Append(std::string_view bytes);
  // Queues `bytes` without a copy.
  void AppendOwned(std::string bytes);
  // Queues the shared bytes of `slice`: the relay's path, once per
  // recipient, so the common case (the piece before is the same buffer's,
  // just before it) only moves that piece's end.
  void AppendShared(const Slice& slice) { AppendPiece(slice.chunk_, slice.begin_, slice.end_); }

  // Bytes queued.
  size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  // Describes up to `max_bytes` from the front in at most `max_vectors`
  // entries of `out`; returns the entries used.
  size_t Gather(iovec* out, size_t max_vectors, size_t max_bytes) const;
  // Drops `count` bytes from the front (at most Size()).
  void Consume(size_t count);
  // Trades contents with `other`.
  void Swap(OutputQueue& other);
  // Drops everything queued. `keep_room`: an own buffer not shared with a
  // write still out is kept for the next bytes, when it is not too large.
  void Clear(bool keep_room);

 private:
  struct Piece {
    Chunk* chunk;
    size_t begin;
    size_t end;
  };
  static Chunk* NewChunk(size_t room);
  static void Hold(Chunk* chunk);
  static void Drop(Chunk* chunk);
  // Queues bytes [begin, end) of `chunk`: the last piece grows when it
  // ends where they begin (consecutive bytes of one buffer), else a piece
  // is added.
  void AppendPiece(Chunk* chunk, size_t begin, size_t end) {
    if (pieces_.size() > head_) {
      Piece& last = pieces_.back();
      if (last.chunk == chunk && last.end == begin) {
        last.end = end;
        size_ += end - begin;
        return;
      }
    }
    Push(chunk, begin, end);
  }
  void Push(Chunk* chunk, size_t begin, size_t end);
  // Room for `count` more bytes in `own_`, after what it holds.
  char* OwnRoom(size_t count);

  std::vector<Piece> pieces_;
  size_t head_ = 0;  // the first piece not consumed
  size_t size_ = 0;
  Chunk* own_ = nullptr;  // the buffer this queue copies its own bytes into
};

}  // namespace brelvint
