// A connection's output as pieces of buffers that never move: what a write
// gathers is exactly what was queued, in order, however own bytes, shared
// relayed messages and whole replies interleave, and bytes handed to a
// write stay where they are while more is queued behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/OutputQueue.h"

namespace brelvint {
namespace {

// Everything a write of at most `max_bytes` in `max_vectors` pieces would
// send from the front.
std::string Front(const OutputQueue& queue, size_t max_vectors = 1024,
                  size_t max_bytes = size_t{1} << 30) {
  std::vector<iovec> vectors(max_vectors);
  size_t used = queue.Gather(vectors.data(), max_vectors, max_bytes);
  std::string out;
  for (size_t i = 0; i < used; ++i) {
    out.append(static_cast<const char*>(vectors[i].iov_base), vectors[i].iov_len);
  }
  return out;
}

TEST(OutputQueueTest, WritesWhatWasQueuedInOrderAcrossEveryKindOfPiece) {
  OutputQueue queue;
  std::string expected;
  const std::string large(10000, 'L');  // whole, without a copy
  for (int round = 0; round < 50; ++round) {
    std::string relayed = "relay" + std::to_string(round) + ";";
    OutputQueue::Slice shared = OutputQueue::Share(relayed);
    queue.AppendShared(shared);
    expected += relayed;
    std::string own = "reply" + std::to_string(round) + ";";
    queue.Append(own);
    expected += own;
    if (round % 10 == 0) {
      queue.AppendOwned(large);
      expected += large;
    }
  }
  ASSERT_EQ(queue.Size(), expected.size());
  EXPECT_EQ(Front(queue), expected);
  // The kernel takes odd amounts, ending inside pieces and on their edges.
  for (size_t step : std::vector<size_t>{1, 7, 6, 10000, 3, 4096, 13}) {
    size_t taken = std::min(step, queue.Size());
    queue.Consume(taken);
    expected.erase(0, taken);
    ASSERT_EQ(Front(queue), expected) << "after taking " << taken;
  }
  EXPECT_EQ(Front(queue, 2, 5), expected.substr(0, 5)) << "a write's limits hold";
  queue.Consume(queue.Size());
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(Front(queue), "");
}

TEST(OutputQueueTest, ARecipientsRelayedMessagesOfAPassAreOnePiece) {
  OutputQueue recipient;
  OutputQueue sender;  // gets every message but its own
  for (int i = 0; i < 100; ++i) {
    OutputQueue::Slice shared = OutputQueue::Share("position" + std::to_string(i));
    recipient.AppendShared(shared);
    if (i != 40) sender.AppendShared(shared);
  }
  iovec vectors[8];
  // Unless the shared buffer filled up in between: then one more.
  EXPECT_LE(recipient.Gather(vectors, 8, 1 << 20), 2u);
  EXPECT_LE(sender.Gather(vectors, 8, 1 << 20), 3u);
}

// A send in the kernel's hands reads the bytes it was given until it ends:
// queuing more (new own buffers, new shared buffers) moves none of them,
// and a shared buffer lives on for the queues that refer to it.
TEST(OutputQueueTest, BytesHandedToAWriteStayPutWhileMoreIsQueued) {
  OutputQueue queue;
  queue.Append("first own bytes;");
  queue.AppendShared(OutputQueue::Share("first relayed;"));
  iovec handed[4];
  size_t count = queue.Gather(handed, 4, 1 << 20);
  std::string before;
  for (size_t i = 0; i < count; ++i) {
    before.append(static_cast<const char*>(handed[i].iov_base), handed[i].iov_len);
  }
  for (int i = 0; i < 2000; ++i) {
    queue.Append(std::string(100, static_cast<char>('a' + i % 26)));
    queue.AppendShared(OutputQueue::Share(std::string(100, static_cast<char>('A' + i % 26))));
  }
  std::string after;
  for (size_t i = 0; i < count; ++i) {
    after.append(static_cast<const char*>(handed[i].iov_base), handed[i].iov_len);
  }
  EXPECT_EQ(after, before);
  EXPECT_EQ(before, "first own bytes;first relayed;");
  EXPECT_EQ(queue.Size(), before.size() + 2000u * 200u);
}

}  // namespace
}  // namespace brelvint
