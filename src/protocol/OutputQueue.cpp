#include "protocol/OutputQueue.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace brelvint {

// A buffer whose bytes never move: queues and writes hold it by count, and
// it goes when the last of them lets go.
struct OutputQueue::Chunk {
  uint32_t holds = 0;
  size_t size = 0;  // bytes written into it
  size_t room = 0;
  char* data = nullptr;
  std::unique_ptr<char[]> storage;
  std::string owned;  // a reply queued whole, instead of storage
};

namespace {

// Own buffers grow up to this much room as a connection's output grows.
constexpr size_t kMaxOwnChunkGrowth = 256 * 1024;
// Consumed pieces are cleared from the front once there are this many.
constexpr size_t kCompactAfterPieces = 64;

// The loop's current shared buffer, held once by this holder. One per
// thread: the counts are not atomic, and a buffer is only shared among the
// connections of one loop.
struct SharedChunk {
  OutputQueue::Chunk* chunk = nullptr;
  ~SharedChunk();
};

thread_local SharedChunk g_shared;

}  // namespace

OutputQueue::Chunk* OutputQueue::NewChunk(size_t room) {
  auto* chunk = new Chunk;
  chunk->storage.reset(new char[room]);
  chunk->data = chunk->storage.get();
  chunk->room = room;
  return chunk;
}

void OutputQueue::Hold(Chunk* chunk) { ++chunk->holds; }

void OutputQueue::Drop(Chunk* chunk) {
  if (--chunk->holds == 0) delete chunk;
}

SharedChunk::~SharedChunk() {
  if (chunk != nullptr && --chunk->holds == 0) delete chunk;
}

OutputQueue::Slice::Slice(Chunk* chunk, size_t begin, size_t end)
    : chunk_(chunk), begin_(begin), end_(end) {
  if (chunk_ != nullptr) Hold(chunk_);
}

OutputQueue::Slice::Slice(const Slice& other) : Slice(other.chunk_, other.begin_, other.end_) {}

OutputQueue::Slice::~Slice() {
  if (chunk_ != nullptr) Drop(chunk_);
}

OutputQueue::Slice OutputQueue::Share(std::string_view bytes) {
  Chunk*& shared = g_shared.chunk;
  if (shared == nullptr || shared->room - shared->size < bytes.size()) {
    // Queues that refer to the full one keep it; the holder moves on.
    if (shared != nullptr) Drop(shared);
    shared = NewChunk(std::max(kSharedChunkBytes, bytes.size()));
    Hold(shared);
  }
  size_t begin = shared->size;
  if (!bytes.empty()) std::memcpy(shared->data + begin, bytes.data(), bytes.size());
  shared->size += bytes.size();
  return Slice(shared, begin, shared->size);
}

OutputQueue::~OutputQueue() { Clear(false); }

char* OutputQueue::OwnRoom(size_t count) {
  if (own_ != nullptr && own_->room - own_->size >= count) return own_->data + own_->size;
  size_t room = std::max(kOwnChunkBytes, count);
  if (own_ != nullptr) {
    room = std::max(room, std::min(own_->room * 2, kMaxOwnChunkGrowth));
    Drop(own_);  // the pieces in it keep it
  }
  own_ = NewChunk(room);
  Hold(own_);
  return own_->data;
}

void OutputQueue::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  char* at = OwnRoom(bytes.size());
  std::memcpy(at, bytes.data(), bytes.size());
  size_t begin = own_->size;
  own_->size += bytes.size();
  AppendPiece(own_, begin, own_->size);
}

void OutputQueue::AppendOwned(std::string bytes) {
  // A short one costs less as a copy than as a buffer of its own.
  if (bytes.size() < kCopyBelowBytes) {
    Append(bytes);
    return;
  }
  auto* chunk = new Chunk;
  chunk->owned = std::move(bytes);
  chunk->data = chunk->owned.data();
  chunk->size = chunk->room = chunk->owned.size();
  Push(chunk, 0, chunk->size);
}

void OutputQueue::Push(Chunk* chunk, size_t begin, size_t end) {
  if (begin == end) return;
  Hold(chunk);
  pieces_.push_back({chunk, begin, end});
  size_ += end - begin;
}

size_t OutputQueue::Gather(iovec* out, size_t max_vectors, size_t max_bytes) const {
  size_t used = 0;
  for (size_t i = head_; i < pieces_.size() && used < max_vectors && max_bytes > 0; ++i) {
    const Piece& piece = pieces_[i];
    size_t length = std::min(piece.end - piece.begin, max_bytes);
    out[used++] = {piece.chunk->data + piece.begin, length};
    max_bytes -= length;
  }
  return used;
}

void OutputQueue::Consume(size_t count) {
  count = std::min(count, size_);
  size_ -= count;
  while (count > 0) {
    Piece& piece = pieces_[head_];
    size_t length = piece.end - piece.begin;
    if (count < length) {
      piece.begin += count;
      break;
    }
    count -= length;
    Drop(piece.chunk);
    ++head_;
  }
  if (head_ == pieces_.size()) {
    pieces_.clear();
    head_ = 0;
  } else if (head_ >= kCompactAfterPieces && head_ * 2 >= pieces_.size()) {
    pieces_.erase(pieces_.begin(), pieces_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void OutputQueue::Swap(OutputQueue& other) {
  pieces_.swap(other.pieces_);
  std::swap(head_, other.head_);
  std::swap(size_, other.size_);
  std::swap(own_, other.own_);
}

void OutputQueue::Clear(bool keep_room) {
  for (size_t i = head_; i < pieces_.size(); ++i) Drop(pieces_[i].chunk);
  size_ = 0;
  head_ = 0;
  if (keep_room) {
    pieces_.clear();
  } else {
    std::vector<Piece>().swap(pieces_);
  }
  if (own_ == nullptr) return;
  // Held by nothing else, its bytes all gone: it starts over from the top.
  if (keep_room && own_->holds == 1 && own_->room <= kKeepOwnChunkBytes) {
    own_->size = 0;
    return;
  }
  Drop(own_);
  own_ = nullptr;
}

}  // namespace brelvint
