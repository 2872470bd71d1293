// The end of a connection and its output limit, over real loopback sockets:
// failed readiness waits, replies larger than the slow-consumer limit, and
// peers that stop reading.
#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <cerrno>
#include <string>
#include <system_error>

#include "base/Metrics.h"
#include "protocol/Asio.h"
#include "protocol/TCPSocket.h"
#include "support/LoopbackPair.h"

namespace brelvint {
namespace {

constexpr int32_t kAsk = 5;
constexpr int32_t kFence = 999;

class TCPSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pair_.Open()); }
  RecordingSocket& server() { return *pair_.server; }
  TestClient& client() { return pair_.client; }
  bool Pump(const std::function<bool()>& done) { return PumpUntil(pair_.loop, done); }
  // Runs a few passes for work that needs no peer.
  void Settle() {
    for (int i = 0; i < 5; ++i) pair_.loop.DoEvents(0);
  }

  LoopbackPair pair_;
};

struct WaitCase {
  const char* label;
  bool read_wait;
  boost::system::error_code error;
};

class WaitErrorTest : public TCPSocketTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitErrorTest, EndsTheConnectionOnce) {
  const WaitCase& c = GetParam();
  bool waits = c.read_wait ? server().FinishReadWait(c.error) : server().FinishWriteWait(c.error);
  if (!waits) GTEST_SKIP() << "readiness waits belong to the epoll back end";
  ASSERT_TRUE(Pump([&] { return !server().errors.empty(); }));
  EXPECT_FALSE(server().IsConnected());
  EXPECT_TRUE(client().WaitClosed(3000, &pair_.loop));
  // A second failure, of either wait, raises nothing more.
  server().FinishReadWait(c.error);
  server().FinishWriteWait(c.error);
  Settle();
  EXPECT_EQ(server().errors, std::vector<int64_t>{c.error.value()});
}

INSTANTIATE_TEST_SUITE_P(
    Table, WaitErrorTest,
    ::testing::Values(WaitCase{"read_reset", true,
                               boost::system::error_code(ECONNRESET,
                                                         boost::system::system_category())},
                      WaitCase{"read_bad_descriptor", true,
                               boost::system::error_code(EBADF, boost::system::system_category())},
                      WaitCase{"write_io_error", false,
                               boost::system::error_code(EIO, boost::system::system_category())},
                      WaitCase{"write_broken_pipe", false,
                               boost::system::error_code(EPIPE, boost::system::system_category())}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(TCPSocketTest, CancelledWaitsLeaveTheConnectionServing) {
  if (!server().FinishReadWait(asio::error::operation_aborted)) {
    GTEST_SKIP() << "readiness waits belong to the epoll back end";
  }
  server().FinishWriteWait(asio::error::operation_aborted);
  client().Send(kFence, "");
  ASSERT_TRUE(Pump([&] { return server().received.size() == 1; }));
  EXPECT_TRUE(server().IsConnected());
  EXPECT_TRUE(server().errors.empty());
}

// A reply several times the limit reaches a peer that reads it.
TEST_F(TCPSocketTest, ReplyLargerThanTheLimitReachesAReader) {
  const std::string big(5 * TCPSocket::kMaxPendingOutput, 'r');
  server().on_message = [&](RecordingSocket& socket, int32_t command) {
    if (command == kAsk) socket.SendMessage(kAsk, big);
    if (command == kFence) socket.SendMessage(kFence, "BYE");
  };
  uint64_t cuts = Metrics::Process().slow_consumers;
  client().Send(kAsk, "");
  client().Send(kFence, "");
  auto answer = client().Receive(10000, &pair_.loop);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->command, kAsk);
  EXPECT_EQ(answer->data.size(), big.size());
  auto fence = client().Receive(3000, &pair_.loop);
  ASSERT_TRUE(fence);
  EXPECT_EQ(fence->command, kFence);
  EXPECT_TRUE(server().errors.empty());
  EXPECT_EQ(Metrics::Process().slow_consumers, cuts);
}

// Output that is not an answer to the peer (relays from others) still
// ends a peer that stops reading.
TEST_F(TCPSocketTest, RelaysBeyondTheLimitCutAPeerThatDoesNotRead) {
  uint64_t cuts = Metrics::Process().slow_consumers;
  const std::string relay(1000, 'x');
  // The kernel holds a few MiB unread before any of it stays with us.
  for (size_t sent = 0; sent <= 32 * TCPSocket::kMaxPendingOutput && server().IsConnected();
       sent += relay.size()) {
    server().SendMessage(6, relay);
  }
  EXPECT_FALSE(server().IsConnected());
  ASSERT_TRUE(Pump([&] { return !server().errors.empty(); }));
  EXPECT_EQ(server().errors, std::vector<int64_t>{ENOBUFS});
  EXPECT_EQ(Metrics::Process().slow_consumers, cuts + 1);
}

// A peer that asks for a large answer and does not read it gets nothing
// more answered (its requests wait, unread) until it reads; relays on top
// of the unread answer still cut it.
TEST_F(TCPSocketTest, UnreadAnswerHoldsFurtherRequests) {
  // Larger than what the kernel holds unread, so part of it stays with us.
  const std::string big(8 * TCPSocket::kMaxPendingOutput, 'r');
  server().on_message = [&](RecordingSocket& socket, int32_t command) {
    if (command == kAsk) socket.SendMessage(kAsk, big);
    if (command == kFence) socket.SendMessage(kFence, "BYE");
  };
  constexpr int kAsks = 5;
  for (int i = 0; i < kAsks; ++i) client().Send(kAsk, "");
  client().Send(kFence, "");
  ASSERT_TRUE(Pump([&] { return server().received.size() == 1; }));
  // The kernel holds what it can of the first answer; the rest waits.
  ASSERT_TRUE(Pump([&] { return server().PendingOutput() < big.size(); }));
  Settle();
  EXPECT_EQ(server().received.size(), 1u);
  EXPECT_GT(server().PendingOutput(), TCPSocket::kMaxPendingOutput);
  EXPECT_LE(server().PendingOutput(), big.size() + 64);

  // Reading the answers lets the rest through, one at a time.
  for (int i = 0; i < kAsks; ++i) {
    auto answer = client().Receive(10000, &pair_.loop);
    ASSERT_TRUE(answer) << i;
    ASSERT_EQ(answer->data.size(), big.size()) << i;
  }
  auto fence = client().Receive(3000, &pair_.loop);
  ASSERT_TRUE(fence);
  EXPECT_EQ(fence->command, kFence);
  EXPECT_TRUE(server().errors.empty());
}

TEST_F(TCPSocketTest, RelaysOnTopOfAnUnreadAnswerStillCut) {
  const std::string big(8 * TCPSocket::kMaxPendingOutput, 'r');
  server().on_message = [&](RecordingSocket& socket, int32_t command) {
    if (command == kAsk) socket.SendMessage(kAsk, big);
  };
  client().Send(kAsk, "");
  ASSERT_TRUE(Pump([&] { return server().received.size() == 1; }));
  const std::string relay(1000, 'x');
  for (size_t sent = 0; sent <= 4 * TCPSocket::kMaxPendingOutput && server().IsConnected();
       sent += relay.size()) {
    server().SendMessage(6, relay);
  }
  EXPECT_FALSE(server().IsConnected());
  ASSERT_TRUE(Pump([&] { return !server().errors.empty(); }));
  EXPECT_EQ(server().errors, std::vector<int64_t>{ENOBUFS});
}

}  // namespace
}  // namespace brelvint
