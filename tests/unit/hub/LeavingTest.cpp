#include <sys/socket.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/HubFixture.h"

namespace brelvint {
namespace {

using ::testing::Contains;
using ::testing::Not;

// How members stop being members: expelled by an administrator while not
// reading, or many at once when their links drop.
class LeavingTest : public HubFixture {
 protected:
  void SetUp() override {
    AddNetwork("Main", "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n");
    listener_ = &StartListener();
    boss_ = Member(*listener_, "Main", "boss");
  }
  // Names listed by a user-list request (5), read up to a fence.
  std::set<std::string> Listed(TestClient& client) {
    client.Send(5, "");
    client.Send(999, "");
    std::set<std::string> names;
    for (int i = 0; i < 1000; ++i) {
      auto message = client.Receive(2000, &loop_);
      if (!message || message->command == 999) break;
      if (message->command == 5) names.insert(message->data.substr(0, message->data.find('|')));
    }
    return names;
  }
  // Server-side output waiting for `name`'s connection.
  size_t PendingFor(const std::string& name) {
    MapMember* member = listener_->MemberNamed(name);
    return member ? member->PendingOutput() : 0;
  }
  // Makes `target` a peer that stopped reading: chat fills its socket
  // buffers until the server holds output it cannot hand to the kernel.
  void StopReading(TestClient& target, TestClient& talker, const std::string& name) {
    int small = 4096;
    ::setsockopt(target.Descriptor(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string line(60000, 'x');
    for (int i = 0; i < 400 && PendingFor(name) == 0; ++i) {
      talker.Send(7, line);
      Pump(5);
    }
    ASSERT_GT(PendingFor(name), 0u) << name << " never filled up";
  }

  MapSocket* listener_ = nullptr;
  std::unique_ptr<TestClient> boss_;
};

struct Expulsion {
  const char* name;
  int32_t command;
};

class ExpelTest : public LeavingTest, public ::testing::WithParamInterface<Expulsion> {};

TEST_P(ExpelTest, TakesEffectAtOnceOnAPeerThatStoppedReading) {
  auto target = Member(*listener_, "Main", "mute", "127.0.0.2");
  auto talker = Member(*listener_, "Main", "talker", "127.0.0.3");
  StopReading(*target, *talker, "mute");
  int64_t places = networks_[0]->CurrentUsers;

  boss_->Send(GetParam().command, "mute|quiet");
  auto left = talker->ReceiveCommand(6, 3000, &loop_);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->data, "mute");
  EXPECT_THAT(Listed(*boss_), Not(Contains("mute")));
  EXPECT_EQ(networks_[0]->CurrentUsers, places - 1);
  EXPECT_EQ(listener_->MemberNamed("mute"), nullptr);
  // The name is free for someone else...
  auto heir = Member(*listener_, "Main", "mute", "127.0.0.4");
  // ...and no relay reaches the old connection any more.
  size_t held = 0;
  for (auto& connection : listener_->Connections()) {
    if (connection->RemoteAddress() == "127.0.0.2") held = connection->PendingOutput();
  }
  talker->Send(4, "1,2,3,4,0,0");
  Pump(20);
  for (auto& connection : listener_->Connections()) {
    if (connection->RemoteAddress() == "127.0.0.2") {
      EXPECT_EQ(connection->PendingOutput(), held);
    }
  }
  // The connection itself ends within the flush bound although it never reads.
  auto deadline = std::chrono::steady_clock::now() + TCPSocket::kCloseFlushLimit +
                  std::chrono::seconds(2);
  size_t connections = listener_->ConnectionCount();
  while (listener_->ConnectionCount() == connections &&
         std::chrono::steady_clock::now() < deadline) {
    Pump(50);
  }
  EXPECT_EQ(listener_->ConnectionCount(), connections - 1);
}

INSTANTIATE_TEST_SUITE_P(KickAndBan, ExpelTest,
                         ::testing::Values(Expulsion{"Kick", 10}, Expulsion{"Ban", 11}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(LeavingTest, MembersThatStayHearOfEveryoneWhoLeftTogether) {
  std::vector<std::unique_ptr<TestClient>> stayers, leavers;
  std::set<std::string> leaver_names;
  for (int i = 0; i < 5; ++i) stayers.push_back(Member(*listener_, "Main", "stay" + std::to_string(i)));
  for (int i = 0; i < 60; ++i) {
    std::string name = "gone" + std::to_string(i);
    leavers.push_back(Member(*listener_, "Main", name));
    leaver_names.insert(name);
  }
  Pump(20);
  leavers.clear();  // every link drops at once
  for (auto& stayer : stayers) {
    std::set<std::string> heard;
    for (int i = 0; i < 200 && heard.size() < leaver_names.size(); ++i) {
      auto message = stayer->Receive(3000, &loop_);
      if (!message) break;
      if (message->command == 6) {
        EXPECT_TRUE(heard.insert(message->data).second) << message->data;
      }
    }
    EXPECT_EQ(heard, leaver_names);
  }
  EXPECT_EQ(networks_[0]->CurrentUsers, 6);
  EXPECT_EQ(Listed(*boss_).size(), 5u);
}

}  // namespace
}  // namespace brelvint
