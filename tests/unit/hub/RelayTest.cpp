#include <string>

#include <gtest/gtest.h>

#include "client/MD5.h"
#include "support/HubFixture.h"

namespace brelvint {
namespace {

class RelayTest : public HubFixture {
 protected:
  void SetUp() override {
    AddNetwork("Main");
    AddNetwork("Other");
  }
  std::string Next(TestClient& client, int32_t command) {
    auto message = client.ReceiveCommand(command, 2000, &loop_);
    return message ? message->data : "<none>";
  }
};

TEST_F(RelayTest, PositionReportsFollowTheRules) {
  MapSocket& listener = StartListener();
  auto anna = Member(listener, "Main", "anna");
  auto bob = Member(listener, "Main", "bob");
  struct Case {
    std::string payload;
    std::string relayed;  // empty: nothing is relayed
  } cases[] = {
      {"100,200,1,25,1,0", "anna|100,200,1,25,1,0"},
      {"7", "anna|7,0,0,0,0,0"},
      {"10.9,-3.7,0,5,0.5,-1", ""},
      {"1,2,3,-4,0,0", ""},
      {"3.9,4,5,6,0.5,2", "anna|3,4,5,6,1,1"},
      {"x,y", "anna|0,0,0,0,0,0"},
      {"9223372036854775807,0,0,0,0,0", "anna|9223372036854775807,0,0,0,0,0"},
  };
  for (const auto& c : cases) {
    anna->Send(4, c.payload);
    EXPECT_TRUE(anna->ExpectFenceNext(&loop_)) << "the sender never hears itself: " << c.payload;
    if (!c.relayed.empty()) {
      EXPECT_EQ(Next(*bob, 5), c.relayed) << c.payload;
    }
    EXPECT_TRUE(bob->ExpectFenceNext(&loop_)) << c.payload;
  }
}

TEST_F(RelayTest, NonMembersReceiveNothingAndTheirCommandsAreIgnored) {
  MapSocket& listener = StartListener();
  auto anna = Member(listener, "Main", "anna");
  auto selected_only = Connect(listener);
  selected_only->Send(1, "Main");
  ASSERT_EQ(Next(*selected_only, 2), "OK");
  auto wrong_password = Connect(listener);
  wrong_password->Send(1, "Main");
  ASSERT_EQ(Next(*wrong_password, 2), "OK");
  wrong_password->Send(2, MD5::Digest("nope"));
  ASSERT_EQ(Next(*wrong_password, 3), "FAIL");
  auto refused = Connect(listener);
  refused->Send(1, "Nowhere");
  ASSERT_EQ(Next(*refused, 2), "FAIL");
  // A name without the password is refused, so it cannot sneak in either.
  auto skipped = Connect(listener);
  skipped->Send(1, "Main");
  ASSERT_EQ(Next(*skipped, 2), "OK");
  skipped->Send(3, "sneak");
  ASSERT_EQ(Next(*skipped, 4), "FAIL");

  anna->Send(4, "1,2,3,4,0,0");
  anna->Send(7, "hello");
  EXPECT_TRUE(anna->ExpectFenceNext(&loop_));
  for (auto* outsider : {selected_only.get(), wrong_password.get(), refused.get(), skipped.get()}) {
    EXPECT_TRUE(outsider->ExpectFenceNext(&loop_));
    outsider->Send(4, "5,5,5,5,0,0");
    outsider->Send(7, "psst");
    outsider->Send(5, "");
    EXPECT_TRUE(outsider->ExpectFenceNext(&loop_));
  }
  EXPECT_TRUE(anna->ExpectFenceNext(&loop_));
  size_t connections = listener.ConnectionCount();
  selected_only->Close();
  ASSERT_TRUE(PumpUntil([&] { return listener.ConnectionCount() == connections - 1; }));
  EXPECT_TRUE(anna->ExpectFenceNext(&loop_)) << "a non-member that leaves sends no notice";
}

TEST_F(RelayTest, UserListNamesTheOtherMembersWithTheirPositions) {
  MapSocket& listener = StartListener();
  auto anna = Member(listener, "Main", "anna");
  auto bob = Member(listener, "Main", "bob");
  auto carl = Member(listener, "Main", "carl");
  auto elsewhere = Member(listener, "Other", "dora");
  auto pending = Connect(listener);
  pending->Send(1, "Main");
  ASSERT_EQ(Next(*pending, 2), "OK");
  bob->Send(4, "10,20,2,50,1,0");
  carl->Send(4, "30,40,3,60,0,1");
  ASSERT_TRUE(bob->MessagesBeforeFence(&loop_));
  ASSERT_TRUE(carl->MessagesBeforeFence(&loop_));
  ASSERT_TRUE(anna->MessagesBeforeFence(&loop_));  // the relays of those reports
  anna->Send(5, "");
  EXPECT_EQ(Next(*anna, 5), "bob|10,20,2,50,1,0");
  EXPECT_EQ(Next(*anna, 5), "carl|30,40,3,60,0,1");
  EXPECT_TRUE(anna->ExpectFenceNext(&loop_));
}

TEST_F(RelayTest, ChatCarriesTheNameANulAndTheText) {
  MapSocket& listener = StartListener();
  auto anna = Member(listener, "Main", "anna");
  auto bob = Member(listener, "Main", "bob");
  auto dora = Member(listener, "Other", "dora");
  std::string text("hi\0there", 8);
  anna->Send(7, text);
  EXPECT_EQ(Next(*bob, 7), std::string("anna\0", 5) + text);
  EXPECT_TRUE(anna->ExpectFenceNext(&loop_));
  EXPECT_TRUE(dora->ExpectFenceNext(&loop_));
  anna->Send(7, "");
  EXPECT_TRUE(anna->ExpectFenceNext(&loop_));
  EXPECT_TRUE(bob->ExpectFenceNext(&loop_));
}

TEST_F(RelayTest, LeavingMembersAreAnnouncedToTheirNetworkOnly) {
  MapSocket& listener = StartListener();
  auto anna = Member(listener, "Main", "anna");
  auto bob = Member(listener, "Main", "bob");
  auto dora = Member(listener, "Other", "dora");
  NewLogMessages();
  anna->Close();
  EXPECT_EQ(Next(*bob, 6), "anna");
  EXPECT_TRUE(dora->ExpectFenceNext(&loop_));
  auto logged = NewLogMessages();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "Client Disconnect: (0) anna");
}

TEST_F(RelayTest, ListenersNeverReachEachOther) {
  MapSocket& first = StartListener();
  MapSocket& second = StartListener();
  auto anna = Member(first, "Main", "anna");
  auto bob = Member(second, "Main", "bob");
  anna->Send(4, "1,1,1,1,0,0");
  anna->Send(7, "hello");
  EXPECT_TRUE(anna->ExpectFenceNext(&loop_));
  EXPECT_TRUE(bob->ExpectFenceNext(&loop_));
  bob->Send(5, "");
  EXPECT_TRUE(bob->ExpectFenceNext(&loop_));
}

TEST_F(RelayTest, ReselectingLeavesTheOldNetworkQuietly) {
  MapSocket& listener = StartListener();
  auto anna = Member(listener, "Main", "anna");
  auto bob = Member(listener, "Main", "bob");
  bob->Send(1, "Other");
  ASSERT_EQ(Next(*bob, 2), "OK");
  anna->Send(4, "1,1,1,1,0,0");
  EXPECT_TRUE(anna->MessagesBeforeFence(&loop_));
  EXPECT_TRUE(bob->ExpectFenceNext(&loop_));
  EXPECT_EQ(networks_[0]->CurrentUsers, 1);
  EXPECT_EQ(networks_[1]->CurrentUsers, 1);
}

}  // namespace
}  // namespace brelvint
