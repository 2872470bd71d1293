#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "protocol/Asio.h"
#include "protocol/EventLoop.h"
#include "protocol/PacketFramer.h"
#include "protocol/TCPSocket.h"
#include "support/LoopbackPair.h"

namespace brelvint {
namespace {

// What one case saw, in order: "hook" when the pass-end hooks ran, "flush"
// when the other flushable's flush ran, "bytes" when the peer first saw
// any of the server's bytes, "returned" when the handler's write returned.
using Log = std::vector<std::string>;

// Output that is not a socket: its flush stands for a handler that
// writes while the loop is flushing (an error telling other peers).
class RecordingFlushable : public Flushable {
 public:
  explicit RecordingFlushable(std::function<void()> on_flush) : on_flush_(std::move(on_flush)) {}
  void Flush() override { on_flush_(); }
  size_t PendingOutput() const override { return 1; }

 private:
  std::function<void()> on_flush_;
};

// A server socket and its peer on one loop, with a pass-end hook and a log
// of what happened in which order.
struct OrderHarness {
  // Opens the pair and adds the hook; false when the pair cannot open.
  bool Open() {
    if (!pair.Open()) return false;
    // Logged on every run until the peer has bytes: a run after a write
    // was due shows the write waited for a later round.
    pair.loop.AddPassEndHook([this] {
      if (!active || in_hook) return;  // a flush-now from the hook runs the hooks again
      in_hook = true;
      Observe();
      if (peer_bytes == 0) log.push_back("hook");
      if (!hook_output.empty()) pair.server->SendMessage(5, std::exchange(hook_output, {}));
      in_hook = false;
    });
    return true;
  }

  // Notes the first arrival of the server's bytes at the peer. `wait_ms`
  // bounds the wait where bytes are due; elsewhere the check does not wait.
  void Observe(int wait_ms = 0) {
    pollfd entry{pair.client.Descriptor(), POLLIN, 0};
    if (::poll(&entry, 1, wait_ms) <= 0) return;
    char chunk[65536];
    ssize_t n = ::recv(entry.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) return;
    if (peer_bytes == 0) log.push_back("bytes");
    peer_bytes += static_cast<size_t>(n);
  }

  // Reads at the peer until `total` bytes came; false when they never did.
  bool DrainPeer(size_t total) {
    for (int i = 0; i < 300 && peer_bytes < total; ++i) {
      pair.loop.DoEvents(0);
      Observe(10);
    }
    return peer_bytes == total;
  }

  // A flushable, scheduled now, whose flush writes `payload` to the server
  // socket.
  void WriteDuringFlush(std::string payload) {
    auto other = std::make_shared<RecordingFlushable>([this, payload = std::move(payload)] {
      Observe();
      log.push_back("flush");
      pair.server->SendMessage(5, payload);
    });
    pair.loop.ScheduleFlush(other);
  }

  LoopbackPair pair;
  Log log;
  size_t peer_bytes = 0;
  bool active = false;  // the case's handler ran
  bool in_hook = false;
  // What the hook writes on its next run; empty: nothing.
  std::string hook_output;
};

// Each case posts one handler that causes output; after one pass the log
// must show the pass-end hook before any byte reached the peer, the bytes
// out within that pass (no hook run between them and the handler's flush),
// and every byte must arrive.
TEST(EventLoopOrderTest, PassEndWorkRunsBeforeAnyOutputLeaves) {
  const size_t kEager = TCPSocket::kEagerFlushBytes;
  const size_t kHeader = 8;
  const std::string large(kEager, 'L');
  struct Case {
    const char* what;
    std::function<void(OrderHarness&)> handler;
    size_t bytes;
    Log expected;
  } cases[] = {
      {"a small write leaves at the end of the pass",
       [](OrderHarness& h) { h.pair.server->SendMessage(5, "x"); },
       kHeader + 1,
       {"hook", "bytes"}},
      {"a write over the eager size leaves at once, after the hook",
       [&](OrderHarness& h) {
         h.pair.server->SendMessage(5, large);
         h.Observe(1000);
         h.log.push_back("returned");
       },
       kHeader + kEager,
       {"hook", "bytes", "returned"}},
      {"a write made during a flush leaves in the same pass",
       [](OrderHarness& h) { h.WriteDuringFlush("late"); },
       kHeader + 4,
       {"hook", "flush", "bytes"}},
      {"a large write made during a flush runs the hooks again first",
       [&](OrderHarness& h) { h.WriteDuringFlush(large); },
       kHeader + kEager,
       {"hook", "flush", "hook", "bytes"}},
      {"output queued by a pass-end hook leaves in that pass",
       [](OrderHarness& h) { h.hook_output = "from the hook"; },
       kHeader + 13,
       {"hook", "bytes"}},
      {"a large output queued by a pass-end hook leaves in that pass",
       [&](OrderHarness& h) { h.hook_output = large; },
       kHeader + kEager,
       {"hook", "bytes"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto h = std::make_unique<OrderHarness>();
    ASSERT_TRUE(h->Open());
    asio::post(h->pair.loop.Context(), [&h = *h, &c] {
      h.active = true;
      c.handler(h);
    });
    h->Observe();
    EXPECT_TRUE(h->log.empty()) << "output before the pass";
    h->pair.loop.DoEvents(0);
    // Bytes that left in the pass are at the peer by now (loopback); the
    // bounded wait only covers a slow scheduler.
    h->Observe(h->peer_bytes == 0 ? 1000 : 0);
    EXPECT_EQ(h->log, c.expected);
    EXPECT_TRUE(h->DrainPeer(c.bytes)) << h->peer_bytes << " of " << c.bytes << " bytes arrived";
    EXPECT_TRUE(h->pair.server->errors.empty());
  }
}

// A message goes out as a header and a payload. When the header alone takes
// the output past the eager-flush size, the flush that follows runs the
// pass-end hooks first, and a hook that writes (the leave notices) must not
// land between the two: the peer's framing would be out of step for good.
TEST(EventLoopOrderTest, WorkRunByAFlushNeverSplitsAMessage) {
  const size_t kEager = TCPSocket::kEagerFlushBytes;
  const size_t kHeader = PacketFramer::kHeaderSize;
  struct Case {
    const char* what;
    size_t first_payload;  // sizes the output the second message starts from
  } cases[] = {
      {"the header crosses the eager size", kEager - kHeader - 4},
      {"the header reaches it exactly", kEager - 2 * kHeader},
      {"the payload crosses it", kEager - kHeader - 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LoopbackPair pair;
    ASSERT_TRUE(pair.Open());
    bool armed = false;
    pair.loop.AddPassEndHook([&] {
      if (!std::exchange(armed, false)) return;
      pair.server->SendMessage(6, "gone");
    });
    const std::string first(c.first_payload, 'a');
    asio::post(pair.loop.Context(), [&] {
      armed = true;
      pair.server->SendMessage(5, first);
      pair.server->SendMessage(5, "tail");
    });
    // Each message as its command and payload, a long payload by its size.
    auto describe = [](int32_t command, const std::string& data) {
      return std::to_string(command) + " " +
             (data.size() > 16 ? std::to_string(data.size()) + " bytes" : data);
    };
    std::vector<std::string> received;
    for (int i = 0; i < 3; ++i) {
      auto message = pair.client.Receive(3000, &pair.loop);
      if (!message) break;
      received.push_back(describe(message->command, message->data));
    }
    EXPECT_EQ(received, (std::vector<std::string>{describe(5, first), describe(5, "tail"),
                                                  describe(6, "gone")}));
    EXPECT_TRUE(pair.server->errors.empty());
  }
}

}  // namespace
}  // namespace brelvint
