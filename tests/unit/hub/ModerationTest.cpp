#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/ClientSocket.h"
#include "client/MD5.h"
#include "support/BanRows.h"
#include "support/HubFixture.h"

namespace brelvint {
namespace {

using ::testing::ElementsAre;

// Rows of `bans` as "address|by|reason|network", read straight from the file.
std::vector<std::string> BanRows(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, "SELECT address, \"by\", reason, network, banlength FROM bans ORDER BY id",
                     -1, &statement, nullptr);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < 5; ++i) {
      if (i > 0) row += "|";
      row += reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

class ModerationTest : public HubFixture {
 protected:
  void SetUp() override {
    AddNetwork("Main", "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n");
    AddNetwork("Side", "    <User Name=\"chief\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n");
    listener_ = &StartListener();
    // Bans at connection time look for networks served on the listener's port.
    for (auto& network : networks_) network->Port = listener_->BoundPort();
    boss_ = Member(*listener_, "Main", "boss", "127.0.0.1");
  }
  // Bans are written off the loop: true once every one so far is in the file.
  bool BansWritten() {
    return PumpUntil([this] { return bans_->Unsaved() == 0; }, 5000);
  }
  std::string Next(TestClient& client, int32_t command) {
    auto message = client.ReceiveCommand(command, 2000, &loop_);
    return message ? message->data : "<none>";
  }
  std::filesystem::path DatabaseFile() const { return folder_ / "brelvint.db"; }

  MapSocket* listener_ = nullptr;
  std::unique_ptr<TestClient> boss_;
};

TEST_F(ModerationTest, KickReachesTheNamedMemberOfTheAdminsNetworkAndEndsIt) {
  auto ann = Member(*listener_, "Main", "Ann", "127.0.0.2");
  auto bob = Member(*listener_, "Main", "bob", "127.0.0.3");
  NewLogMessages();
  boss_->Send(10, "ANN|spam|flood");
  EXPECT_EQ(Next(*ann, 996), "spam");
  EXPECT_TRUE(ann->WaitClosed(2000, &loop_));
  EXPECT_EQ(Next(*bob, 6), "Ann");
  Pump(50);
  auto logged = NewLogMessages();
  ASSERT_GE(logged.size(), 2u);
  EXPECT_EQ(logged[0], "Annon network Main Kicked: spam");
  EXPECT_EQ(logged[1], "Client Disconnect: (103) Ann");
  EXPECT_EQ(networks_[0]->CurrentUsers, 2);
}

TEST_F(ModerationTest, KickMissesOtherNetworksAndOtherListeners) {
  auto side = Member(*listener_, "Side", "sam", "127.0.0.2");
  MapSocket& other = StartListener();
  auto far = Member(other, "Main", "tom", "127.0.0.3");
  boss_->Send(10, "sam|x");
  boss_->Send(10, "tom|x");
  boss_->Send(10, "|x");
  ASSERT_TRUE(boss_->MessagesBeforeFence(&loop_));
  EXPECT_TRUE(side->ExpectFenceNext(&loop_));
  EXPECT_TRUE(far->ExpectFenceNext(&loop_));
}

TEST_F(ModerationTest, BansWriteOneRowEachAndKeepTheAddressOut) {
  auto eve = Member(*listener_, "Main", "eve", "127.0.0.2");
  boss_->Send(11, "EVE|cheating");
  EXPECT_EQ(Next(*eve, 997), "cheating");
  EXPECT_TRUE(eve->WaitClosed(2000, &loop_));
  EXPECT_THAT(LogMessages(), ::testing::Contains("eveon network Main Banned: cheating"));
  ASSERT_TRUE(BansWritten());
  EXPECT_THAT(BanRows(DatabaseFile()), ElementsAre("127.0.0.2|boss|cheating|Main|1"));

  // The next connection from that address is turned away at once...
  TestClient again;
  ASSERT_TRUE(again.Connect(listener_->BoundPort(), "127.0.0.2"));
  auto greeting = again.Receive(2000, &loop_);
  ASSERT_TRUE(greeting);
  EXPECT_EQ(greeting->command, 997);
  EXPECT_EQ(greeting->data, "Please contact an administrator for more information.");
  EXPECT_TRUE(again.WaitClosed(2000, &loop_));
  EXPECT_THAT(LogMessages(), ::testing::Contains("127.0.0.2: Client Previously Banned."));

  // ...and, through a listener on another port, refused at selection.
  MapSocket& other = StartListener();
  auto through_other = Connect(other, "127.0.0.2");
  through_other->Send(1, "Main");
  EXPECT_EQ(Next(*through_other, 2), "FAIL");
  through_other->Send(1, "Side");
  EXPECT_EQ(Next(*through_other, 2), "OK");

  // A second ban of another member adds a second row.
  auto mallory = Member(*listener_, "Main", "mallory", "127.0.0.3");
  boss_->Send(11, "mallory");
  EXPECT_EQ(Next(*mallory, 997), "");
  ASSERT_TRUE(BansWritten());
  EXPECT_EQ(BanRows(DatabaseFile()).size(), 2u);
}

TEST_F(ModerationTest, UnbanLiftsTheBanAtOnce) {
  auto eve = Member(*listener_, "Main", "eve", "127.0.0.2");
  boss_->Send(11, "eve|x");
  ASSERT_TRUE(eve->WaitClosed(2000, &loop_));
  ASSERT_TRUE(BansWritten());
  boss_->Send(14, "abc");
  boss_->Send(14, "1.5");
  ASSERT_TRUE(boss_->MessagesBeforeFence(&loop_));
  ASSERT_EQ(BanRows(DatabaseFile()).size(), 1u);
  boss_->Send(14, "001");
  ASSERT_TRUE(boss_->MessagesBeforeFence(&loop_));
  EXPECT_TRUE(BanRows(DatabaseFile()).empty());
  auto back = Member(*listener_, "Main", "eve", "127.0.0.2");
}

TEST_F(ModerationTest, BanListShowsTheRowsOfTheAdminsNetworkNulTerminated) {
  boss_->Send(13, "");
  EXPECT_EQ(Next(*boss_, 13), "");
  ASSERT_TRUE(BanRows::Insert(*bans_, loop_, "10.0.0.5", "eve", "boss", "spam", "Main"));
  ASSERT_TRUE(BanRows::Insert(*bans_, loop_, "10.0.0.6", "sam", "chief", "", "Side"));
  ASSERT_TRUE(BanRows::Insert(*bans_, loop_, "10.0.0.7", "ann", "boss", "", "MAIN"));
  boss_->Send(13, "");
  std::string text = Next(*boss_, 13);
  ASSERT_EQ(std::count(text.begin(), text.end(), '\0'), 2) << text;
  EXPECT_EQ(text.back(), '\0');
  EXPECT_EQ(text.rfind("1|10.0.0.5|boss|spam|", 0), 0u) << text;
  EXPECT_NE(text.find(std::string(1, '\0') + "3|10.0.0.7|boss||"), std::string::npos) << text;
}

// A timed ban's end follows its reason in the 13 list, so the entry keeps
// the five fields map tools read; an end already past says "ended".
TEST_F(ModerationTest, BanListShowsWhenATimedBanEndsWithinItsReason) {
  auto eve = Member(*listener_, "Main", "eve", "127.0.0.2");
  NewLogMessages();
  ASSERT_TRUE(listener_->BanUser("eve", "Main", "flood", "operator alice (command line)", 30));
  ASSERT_TRUE(eve->WaitClosed(2000, &loop_));
  EXPECT_THAT(NewLogMessages(),
              ::testing::Contains("eveon network Main Banned for 30 minutes: flood; by operator "
                                  "alice (command line)"));
  ASSERT_TRUE(BansWritten());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseFile().c_str(), &db), SQLITE_OK);
  int inserted = sqlite3_exec(
      db,
      "INSERT INTO bans (address, name, \"by\", reason, bandate, banlength, network, expires) "
      "VALUES ('127.0.0.8', 'old', 'boss', 'served', '2020-01-02 03:04:05', 1, 'Main', 1000)",
      nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ASSERT_EQ(inserted, SQLITE_OK);

  boss_->Send(13, "");
  std::string text = Next(*boss_, 13);
  size_t cut = text.find('\0');
  ASSERT_NE(cut, std::string::npos) << text;
  std::string timed = text.substr(0, cut);
  std::string ended = text.substr(cut + 1, text.size() - cut - 2);
  for (const std::string& entry : {timed, ended}) {
    EXPECT_EQ(std::count(entry.begin(), entry.end(), '|'), 4) << entry;
  }
  EXPECT_EQ(timed.rfind("1|127.0.0.2|operator alice (command line)|flood (ends ", 0), 0u) << timed;
  EXPECT_EQ(ended.rfind("2|127.0.0.8|boss|served (ended ", 0), 0u) << ended;
  // The ended row refuses no one.
  auto old = Member(*listener_, "Main", "old", "127.0.0.8");
}

// On a server hosting several networks, each network's administrators see
// and lift only the bans recorded for their own network.
TEST_F(ModerationTest, AnAdministratorListsAndLiftsOnlyTheBansOfTheirNetwork) {
  auto chief = Member(*listener_, "Side", "chief", "127.0.0.1");
  auto eve = Member(*listener_, "Main", "eve", "127.0.0.2");
  boss_->Send(11, "eve|x");
  ASSERT_TRUE(eve->WaitClosed(2000, &loop_));
  ASSERT_TRUE(BansWritten());
  ASSERT_TRUE(BanRows::Insert(*bans_, loop_, "10.0.0.6", "sam", "chief", "flood", "Side"));

  chief->Send(13, "");
  std::string side = Next(*chief, 13);
  EXPECT_EQ(side.rfind("2|10.0.0.6|chief|flood|", 0), 0u) << side;
  EXPECT_EQ(std::count(side.begin(), side.end(), '\0'), 1) << side;

  NewLogMessages();
  chief->Send(14, "1");  // Main's ban: not the chief's to lift
  ASSERT_TRUE(chief->MessagesBeforeFence(&loop_));
  EXPECT_EQ(BanRows(DatabaseFile()).size(), 2u);
  EXPECT_TRUE(NewLogMessages().empty());

  boss_->Send(14, "1");
  ASSERT_TRUE(boss_->MessagesBeforeFence(&loop_));
  EXPECT_THAT(BanRows(DatabaseFile()), ElementsAre("10.0.0.6|chief|flood|Side|1"));
  EXPECT_THAT(NewLogMessages(), ElementsAre("Ban 1 lifted by boss on network Main: 127.0.0.2 eve"));
  boss_->Send(14, "1");  // already gone: nothing more
  ASSERT_TRUE(boss_->MessagesBeforeFence(&loop_));
  EXPECT_TRUE(NewLogMessages().empty());
}

// The list is produced off the loop; what the administrator asks next is
// still answered after it.
TEST_F(ModerationTest, RequestsAfterABanListAreAnsweredAfterIt) {
  ASSERT_TRUE(BanRows::Insert(*bans_, loop_, "10.0.0.5", "eve", "boss", "spam", "Main"));
  boss_->Send(13, "");
  boss_->Send(9, "");
  boss_->Send(14, "1");
  boss_->Send(13, "");
  auto before = boss_->MessagesBeforeFence(&loop_);
  ASSERT_TRUE(before);
  ASSERT_EQ(before->size(), 3u);
  EXPECT_EQ((*before)[0].command, 13);
  EXPECT_EQ((*before)[0].data.rfind("1|10.0.0.5|boss|spam|", 0), 0u);
  EXPECT_EQ((*before)[1].command, 9);
  EXPECT_EQ((*before)[1].data, "1");
  EXPECT_EQ((*before)[2].command, 13);
  EXPECT_EQ((*before)[2].data, "");
}

// A list that cannot be read is no empty list: the administrator is told
// so in words, and the log says why.
TEST_F(ModerationTest, ABanListThatCannotBeReadIsSaidSoNotSentEmpty) {
  std::filesystem::remove(DatabaseFile());
  std::filesystem::create_directory(DatabaseFile());
  NewLogMessages();
  boss_->Send(13, "");
  auto before = boss_->MessagesBeforeFence(&loop_);
  ASSERT_TRUE(before);
  ASSERT_EQ(before->size(), 1u);
  EXPECT_EQ((*before)[0].command, 998);
  EXPECT_EQ((*before)[0].data, ClientSocket::kBanListUnreadable);
  auto logged = NewLogMessages();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("Ban list cannot be read for network Main: ", 0), 0u) << logged[0];
}

TEST_F(ModerationTest, NonAdministratorsAreIgnoredSilently) {
  auto plain = Member(*listener_, "Main", "plain", "127.0.0.2");
  auto victim = Member(*listener_, "Main", "victim", "127.0.0.3");
  ASSERT_TRUE(BanRows::Insert(*bans_, loop_, "10.0.0.5", "eve", "boss", "spam", "Main"));
  NewLogMessages();
  plain->Send(10, "victim|x");
  plain->Send(11, "victim|x");
  plain->Send(12, "hello");
  plain->Send(13, "");
  plain->Send(14, "1");
  EXPECT_TRUE(plain->ExpectFenceNext(&loop_));
  EXPECT_TRUE(victim->ExpectFenceNext(&loop_));
  EXPECT_TRUE(NewLogMessages().empty());
  EXPECT_EQ(BanRows(DatabaseFile()).size(), 1u);
}

TEST_F(ModerationTest, BroadcastReachesTheAdminsNetworkIncludingTheAdmin) {
  auto ann = Member(*listener_, "Main", "ann", "127.0.0.2");
  auto sam = Member(*listener_, "Side", "sam", "127.0.0.3");
  boss_->Send(12, "server restart");
  EXPECT_EQ(Next(*boss_, 998), "server restart");
  EXPECT_EQ(Next(*ann, 998), "server restart");
  EXPECT_TRUE(sam->ExpectFenceNext(&loop_));
  boss_->Send(12, "");
  EXPECT_TRUE(boss_->ExpectFenceNext(&loop_));
  EXPECT_TRUE(ann->ExpectFenceNext(&loop_));
}

TEST_F(ModerationTest, AllNetworksBroadcastReachesEveryMember) {
  auto sam = Member(*listener_, "Side", "sam", "127.0.0.3");
  listener_->BroadcastMessage("to all", "(all networks)");
  EXPECT_EQ(Next(*boss_, 998), "to all");
  EXPECT_EQ(Next(*sam, 998), "to all");
}

TEST_F(ModerationTest, BannedFlagInTheFileRefusesTheLogin) {
  AddNetwork("Flagged", "    <User Name=\"eve\" IsBanned=\"1\" LastIP=\"127.0.0.4\" />\n");
  auto eve = Connect(*listener_, "127.0.0.4");
  eve->Send(1, "Flagged");
  ASSERT_EQ(Next(*eve, 2), "OK");
  eve->Send(2, MD5::Digest("pw"));
  ASSERT_EQ(Next(*eve, 3), "OK");
  eve->Send(3, "Eve");
  EXPECT_EQ(Next(*eve, 4), "FAIL");
  EXPECT_THAT(LogMessages(), ::testing::Contains("127.0.0.4: Client Previously Banned."));
}

TEST_F(ModerationTest, RemovingANetworkTellsItsClients) {
  auto ann = Member(*listener_, "Main", "ann", "127.0.0.2");
  ServerNetworks& main = *networks_[0];
  listener_->RemoveNetwork(main);  // not registered here: nothing happens
  EXPECT_TRUE(ann->ExpectFenceNext(&loop_));
  listener_->Networks.push_back(&main);
  listener_->RemoveNetwork(main);
  EXPECT_EQ(Next(*ann, 998), "This network has been removed from the server.");
  EXPECT_EQ(Next(*ann, 999), "BYE");
  EXPECT_TRUE(listener_->Networks.empty());
}

}  // namespace
}  // namespace brelvint
