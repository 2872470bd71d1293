#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "protocol/PacketFramer.h"
#include "support/LoopbackPair.h"

namespace brelvint {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string Header(int32_t length, int32_t command) {
  std::string out;
  for (int32_t v : {length, command}) {
    auto u = static_cast<uint32_t>(v);
    out += Bytes({static_cast<int>(u >> 24 & 0xff), static_cast<int>(u >> 16 & 0xff),
                  static_cast<int>(u >> 8 & 0xff), static_cast<int>(u & 0xff)});
  }
  return out;
}

class EasyTCPSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pair_.Open()); }

  // Runs only the stream's handlers (reads), not the delivery polls.
  void ReadArrivals(int events) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (server().data_events < events && std::chrono::steady_clock::now() < deadline) {
      pair_.loop.Context().run_one_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(server().data_events, events);
  }
  bool DeliverAll(size_t count) {
    return PumpUntil(pair_.loop, [&] { return server().received.size() >= count; });
  }
  RecordingSocket& server() { return *pair_.server; }
  TestClient& client() { return pair_.client; }

  LoopbackPair pair_;
};

TEST_F(EasyTCPSocketTest, SendMessageWritesTheExactPacket) {
  server().SendMessage(1, "Network");
  server().SendMessage(999, "BYE");
  pair_.loop.DoEvents(0);
  EXPECT_EQ(client().ReceiveRaw(15), Bytes({0, 0, 0, 0x0F, 0, 0, 0, 1}) + "Network");
  EXPECT_EQ(client().ReceiveRaw(11), Bytes({0, 0, 0, 0x0B, 0, 0, 3, 0xE7}) + "BYE");
}

TEST_F(EasyTCPSocketTest, DeliversPayloadsUnchanged) {
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<char>(i));
  struct Case {
    int32_t command;
    std::string payload;
  } cases[] = {{7, ""}, {-1, "negative"}, {4, every_byte}, {1000, std::string(60000, 'x')}};
  for (const auto& c : cases) client().Send(c.command, c.payload);
  ASSERT_TRUE(DeliverAll(4));
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(server().received[i].first, cases[i].command);
    EXPECT_EQ(server().received[i].second, cases[i].payload);
  }
}

TEST_F(EasyTCPSocketTest, CommandFieldOfAllOnesIsMinusOne) {
  client().SendRaw(Header(8, -1));
  ASSERT_TRUE(DeliverAll(1));
  EXPECT_EQ(server().received[0].first, -1);
}

TEST_F(EasyTCPSocketTest, PacketSplitAcrossWritesIsDeliveredWhole) {
  std::string packet = PacketFramer::CreatePacket(3, "anna");
  // Inside the length field, then inside the command, then the payload.
  int reads = 0;
  for (std::string_view piece :
       {std::string_view(packet).substr(0, 2), std::string_view(packet).substr(2, 4),
        std::string_view(packet).substr(6, 4), std::string_view(packet).substr(10)}) {
    client().SendRaw(piece);
    if (piece.size() + (piece.data() - packet.data()) < packet.size()) {
      // The server has read this piece; a whole pass must still deliver nothing.
      ReadArrivals(++reads);
      pair_.loop.DoEvents(0);
      EXPECT_TRUE(server().received.empty());
    }
  }
  ASSERT_TRUE(DeliverAll(1));
  EXPECT_EQ(server().received[0], std::make_pair(3, std::string("anna")));
  EXPECT_TRUE(server().errors.empty());
}

TEST_F(EasyTCPSocketTest, TwoPacketsInOneWriteAreDeliveredOnSuccessivePolls) {
  client().SendRaw(PacketFramer::CreatePacket(1, "a") + PacketFramer::CreatePacket(2, "b"));
  ReadArrivals(1);
  EXPECT_TRUE(server().Poll());
  ASSERT_EQ(server().received.size(), 1u);
  EXPECT_EQ(server().received[0].second, "a");
  EXPECT_FALSE(server().Poll());
  ASSERT_EQ(server().received.size(), 2u);
  EXPECT_EQ(server().received[1].second, "b");
}

TEST_F(EasyTCPSocketTest, RawStreamCallsAreRefused) {
  auto refused = [](auto call, const char* text) {
    try {
      call();
      ADD_FAILURE() << "not refused: " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), text);
    }
  };
  refused([&] { server().Read(4); }, "You cannot call Read on an EasyTCPSocket directly.");
  refused([&] { server().ReadAll(); }, "You cannot call ReadAll on an EasyTCPSocket directly.");
  refused([&] { server().Write("x"); }, "You cannot call Write on an EasyTCPSocket directly.");
}

TEST_F(EasyTCPSocketTest, SendMessageAfterThePeerLeftIsDroppedQuietly) {
  client().Close();
  ASSERT_TRUE(PumpUntil(pair_.loop, [&] { return !server().errors.empty(); }));
  server().SendMessage(5, "late");
  pair_.loop.DoEvents(0);
  EXPECT_EQ(server().errors.size(), 1u);
  EXPECT_EQ(pair_.listener.ConnectionCount(), 0u);
}

TEST_F(EasyTCPSocketTest, QueuedMessagesAreLostWhenTheStreamEnds) {
  client().SendRaw(PacketFramer::CreatePacket(1, "a") + PacketFramer::CreatePacket(2, "b"));
  client().Close();
  ASSERT_TRUE(PumpUntil(pair_.loop, [&] { return !server().errors.empty(); }));
  EXPECT_LE(server().received.size(), 1u);
  pair_.loop.DoEvents(0);
  EXPECT_LE(server().received.size(), 1u);
}

TEST_F(EasyTCPSocketTest, WaitForMessageReturnsTheAwaitedPayloadAndDiscardsOthers) {
  client().Send(4, "skipped");
  client().Send(5, "wanted");
  EXPECT_EQ(server().WaitForMessage(pair_.loop, 5), "wanted");
  client().Send(6, "after");
  ASSERT_TRUE(DeliverAll(1));
  EXPECT_EQ(server().received[0], std::make_pair(6, std::string("after")));
}

TEST_F(EasyTCPSocketTest, BurstIsHeldByBackPressureWithoutLoss) {
  constexpr int kBurst = 10000;
  std::string burst;
  for (int i = 0; i < kBurst; ++i) burst += PacketFramer::CreatePacket(4, std::to_string(i));
  client().SendRaw(burst);
  ASSERT_TRUE(PumpUntil(
      pair_.loop, [&] { return server().received.size() == kBurst; }, 20000));
  for (int i = 0; i < kBurst; ++i) {
    ASSERT_EQ(server().received[i].second, std::to_string(i)) << "at " << i;
  }
  EXPECT_TRUE(server().errors.empty());
}

TEST_F(EasyTCPSocketTest, PeerThatNeverReadsIsEnded) {
  std::string chunk(60000, 'p');
  for (int i = 0; i < 200 && server().errors.empty(); ++i) {
    server().SendMessage(5, chunk);
    pair_.loop.DoEvents(0);
  }
  ASSERT_TRUE(PumpUntil(pair_.loop, [&] { return !server().errors.empty(); }));
  EXPECT_EQ(server().errors[0], ENOBUFS);
}

class ClosingLengthTest : public EasyTCPSocketTest,
                          public ::testing::WithParamInterface<int32_t> {};

TEST_P(ClosingLengthTest, BadTotalLengthClosesAndDeliversNothingMore) {
  client().SendRaw(PacketFramer::CreatePacket(1, "queued") + Header(GetParam(), 2) + "trailing");
  EXPECT_TRUE(client().WaitClosed(3000, &pair_.loop));
  ASSERT_TRUE(PumpUntil(pair_.loop, [&] { return !server().errors.empty(); }));
  pair_.loop.DoEvents(0);
  EXPECT_TRUE(server().received.empty());
  EXPECT_EQ(server().errors.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ClosingLengthTest,
                         ::testing::Values(0, -1, -8, 1, 4, 7, 65537, 0x7fffffff));

}  // namespace
}  // namespace brelvint
