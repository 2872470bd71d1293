#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/LogMessage.h"
#include "hub/BanStore.h"
#include "protocol/EventLoop.h"
#include "support/BanRows.h"
#include "support/LoopbackPair.h"
#include "support/ScopedHome.h"
#include "support/TempFolder.h"

namespace brelvint {
namespace {

// "id|address|name|network;" per row, the way a list's format sees them.
void AppendRow(const BanStore::Ban& row, std::string& out) {
  out += std::to_string(row.id) + "|" + row.address + "|" + row.name + "|" + row.network + ";";
}

class BanStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return folder_.Path() / BanStore::kFileName; }

  // Asks for `network`'s list and runs the loop until it came (or 5 s).
  std::optional<std::string> List(BanStore& store, const std::string& network) {
    std::optional<std::string> answer;
    bool answered = false;
    std::thread::id formatted_on;
    store.ListNetwork(
        network, 2,
        [&](const BanStore::Ban& row, std::string& out) {
          formatted_on = std::this_thread::get_id();
          AppendRow(row, out);
        },
        loop_.Context(),
        [&](std::optional<std::string> text, std::string error) {
          answered = true;
          answer = std::move(text);
          error_ = std::move(error);
        });
    EXPECT_TRUE(PumpUntil(
        loop_, [&] { return answered; }, 5000));
    if (formatted_on != std::thread::id()) {
      EXPECT_NE(formatted_on, std::this_thread::get_id()) << "formatted on the loop";
    }
    return answer;
  }

  // A write transaction of another connection, as an operator's sqlite3
  // session holds it, until Release.
  class WriteLock {
   public:
    explicit WriteLock(const std::filesystem::path& file) {
      sqlite3_open(file.c_str(), &db_);
      held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~WriteLock() {
      Release();
      sqlite3_close(db_);
    }
    bool Held() const { return held_; }
    void Release() {
      if (held_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      held_ = false;
    }

   private:
    sqlite3* db_ = nullptr;
    bool held_ = false;
  };

  // Rows in the file, read through a connection of the test's own.
  int Rows() {
    sqlite3* db = nullptr;
    sqlite3_open_v2(File().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM bans", -1, &count, nullptr);
    int rows = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int(count, 0) : -1;
    sqlite3_finalize(count);
    sqlite3_close(db);
    return rows;
  }

  static BanStore::Ban Eve() {
    BanStore::Ban ban;
    ban.address = "10.0.0.9";
    ban.name = "eve";
    ban.by = "boss";
    ban.reason = "spam";
    ban.network = "Main";
    return ban;
  }

  TempFolder folder_;
  ScopedHome home_{folder_.Path()};
  EventLoop loop_;
  std::string error_;
};

// A ban while another connection holds the database holds at once, is
// written once the database is free, and says so once each way.
TEST_F(BanStoreTest, ABanWaitsForALockedDatabaseOffTheLoopAndHoldsMeanwhile) {
  BanStore store(File());
  WriteLock lock(File());
  ASSERT_TRUE(lock.Held());
  store.Record(Eve(), loop_.Context());
  EXPECT_TRUE(store.IsBanned("10.0.0.9", "MAIN"));
  EXPECT_EQ(store.NetworksBanning("10.0.0.9"), std::vector<std::string>{"Main"});
  EXPECT_EQ(store.Unsaved(), 1u);
  ASSERT_TRUE(PumpUntil(
      loop_,
      [&] {
        return folder_.ReadFile(modGlobal::kLogFileName).find("not written yet") !=
               std::string::npos;
      },
      5000));
  lock.Release();
  ASSERT_TRUE(PumpUntil(
      loop_, [&] { return store.Unsaved() == 0; }, 5000));
  EXPECT_EQ(Rows(), 1);
  EXPECT_TRUE(store.IsBanned("10.0.0.9", "Main"));  // now from the file
  std::string log = folder_.ReadFile(modGlobal::kLogFileName);
  EXPECT_NE(log.find("Ban of 10.0.0.9 (eve) on network Main not written yet: database is locked"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Ban of 10.0.0.9 (eve) on network Main written to the ban database"),
            std::string::npos)
      << log;
}

// Bans not yet written are part of every list, by their final number, and
// a lift takes one out of memory and out of the writer's queue: with the
// database held the whole time, the lifted ban never reaches it, the kept
// one does under the number it was listed by.
TEST_F(BanStoreTest, APendingBanIsListedByItsNumberAndLiftedWithoutTheDatabase) {
  BanStore store(File());
  ASSERT_TRUE(BanRows::Insert(store, loop_, "10.0.0.1", "ann", "boss", "", "Main"));  // number 1
  WriteLock lock(File());
  ASSERT_TRUE(lock.Held());
  BanStore::Ban sam = Eve();
  sam.address = "10.0.0.2";
  sam.name = "sam";
  sam.network = "Side";
  sam.reason = "tab\there\nline\\slash";
  EXPECT_EQ(store.Record(Eve(), loop_.Context()), 2);
  EXPECT_EQ(store.Record(sam, loop_.Context()), 3);
  EXPECT_EQ(List(store, "main"), std::string(2, '\0') + "1|10.0.0.1|ann|Main;2|10.0.0.9|eve|Main;");
  EXPECT_EQ(List(store, ""),
            std::string(2, '\0') + "1|10.0.0.1|ann|Main;2|10.0.0.9|eve|Main;3|10.0.0.2|sam|Side;");
  ASSERT_EQ(store.Pending("").size(), 2u);
  EXPECT_FALSE(store.Pending("")[0].stored);
  EXPECT_EQ(store.Pending("side").size(), 1u);

  // Another network's lift finds nothing; the right one lifts at once.
  EXPECT_FALSE(store.Lift(2, "Side"));
  auto lifted = store.Lift(2, "MAIN");
  ASSERT_TRUE(lifted);
  EXPECT_FALSE(lifted->stored);
  EXPECT_EQ(lifted->name, "eve");
  EXPECT_FALSE(store.IsBanned("10.0.0.9", "Main"));
  EXPECT_EQ(store.Pending("").size(), 1u);
  EXPECT_EQ(store.Pending("")[0].name, "sam");
  EXPECT_EQ(store.Pending("")[0].reason, sam.reason);
  // The writer tries sam only once it has dropped the lifted ban (it writes
  // in order); a try of that ban already under way fails while the lock holds.
  ASSERT_TRUE(PumpUntil(
      loop_,
      [&] {
        return folder_.ReadFile(modGlobal::kLogFileName)
                   .find("Ban of 10.0.0.2 (sam) on network Side not written yet") !=
               std::string::npos;
      },
      5000));

  lock.Release();
  ASSERT_TRUE(PumpUntil(
      loop_, [&] { return store.Unsaved() == 0; }, 5000));
  std::string error;
  std::vector<BanStore::Ban> rows = store.Rows("", &error);
  ASSERT_EQ(rows.size(), 2u) << error;
  EXPECT_EQ(rows[1].id, 3);
  EXPECT_EQ(rows[1].name, "sam");
  // A stored ban is lifted from the table.
  lifted = store.Lift(1, "");
  ASSERT_TRUE(lifted);
  EXPECT_TRUE(lifted->stored);
  EXPECT_EQ(Rows(), 1);
}

// The operators' list merges the stored rows with the pending bans in
// number order and shows a ban written between the two reads once.
TEST(BanStorePendingTest, TheCommandLinesViewMergesByNumber) {
  BanStore::Ban row;
  row.id = 2;
  row.name = "two";
  BanStore::Ban late = row;  // written between the two reads
  late.stored = false;
  BanStore::Ban first;
  first.id = 1;
  first.stored = false;
  BanStore::Ban last;
  last.id = 5;
  last.stored = false;
  auto merged = BanStore::Merge({row}, {first, late, last});
  ASSERT_EQ(merged.size(), 3u);
  EXPECT_EQ(merged[0].id, 1);
  EXPECT_EQ(merged[1].id, 2);
  EXPECT_TRUE(merged[1].stored);
  EXPECT_EQ(merged[2].id, 5);
}

// A stop while the database stays locked waits a bounded time, then puts
// each ban it could not write in the log in full.
TEST_F(BanStoreTest, AStopLogsEachBanItCouldNotWrite) {
  BanStore store(File());
  WriteLock lock(File());
  ASSERT_TRUE(lock.Held());
  store.Record(Eve(), loop_.Context());
  store.Close();
  std::string log = folder_.ReadFile(modGlobal::kLogFileName);
  EXPECT_NE(log.find("Ban not saved (the ban database could not be written): address 10.0.0.9, "
                     "name eve, network Main, by boss, reason spam, at "),
            std::string::npos)
      << log;
}

// A list that cannot be read is a failure with SQLite's reason, not an
// empty list.
TEST_F(BanStoreTest, AListThatCannotBeReadSaysWhy) {
  BanStore store(File());
  ASSERT_TRUE(BanRows::Insert(store, loop_, "10.0.0.1", "eve", "boss", "spam", "Main"));
  std::filesystem::remove(File());
  std::filesystem::create_directory(File());
  EXPECT_FALSE(List(store, "Main"));
  EXPECT_FALSE(error_.empty());
}

TEST_F(BanStoreTest, ListsAndDeletesOnlyTheNamedNetworksRows) {
  BanStore store(File());
  ASSERT_TRUE(BanRows::Insert(store, loop_, "10.0.0.1", "eve", "boss", "spam", "Main"));
  ASSERT_TRUE(BanRows::Insert(store, loop_, "10.0.0.2", "sam", "chief", "", "Side"));
  ASSERT_TRUE(BanRows::Insert(store, loop_, "10.0.0.3", "ann", "boss", "", "MAIN"));
  // The list starts after the room asked for.
  EXPECT_EQ(List(store, "main"), std::string(2, '\0') + "1|10.0.0.1|eve|Main;3|10.0.0.3|ann|MAIN;");
  EXPECT_EQ(List(store, "Nowhere"), std::string(2, '\0'));

  EXPECT_FALSE(store.Delete(2, "Main"));
  auto lifted = store.Delete(1, "MAIN");
  ASSERT_TRUE(lifted);
  EXPECT_EQ(lifted->address, "10.0.0.1");
  EXPECT_EQ(lifted->name, "eve");
  EXPECT_EQ(lifted->network, "Main");
  EXPECT_FALSE(store.Delete(1, "Main"));
  EXPECT_EQ(List(store, "Side"), std::string(2, '\0') + "2|10.0.0.2|sam|Side;");
}

TEST_F(BanStoreTest, AFileWrittenBeforeNamesWereRecordedKeepsItsRows) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(File().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE bans (id INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, "
                         "\"by\" TEXT, reason TEXT, bandate DATETIME, banlength INTEGER, "
                         "network TEXT);"
                         "INSERT INTO bans (address, \"by\", reason, bandate, banlength, network) "
                         "VALUES ('10.0.0.9', 'boss', 'old', '2020-01-02 03:04:05', 1, 'Main');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  BanStore store(File());
  ASSERT_TRUE(BanRows::Insert(store, loop_, "10.0.0.1", "eve", "boss", "new", "Main"));
  EXPECT_EQ(List(store, "Main"), std::string(2, '\0') + "1|10.0.0.9||Main;2|10.0.0.1|eve|Main;");
}

// A timed ban refuses until its end, by the store's clock, whether it is
// still on its way to the database or in the table; from then on it
// refuses no one, though its row stays, listed as expired. A permanent ban
// beside it is untouched by the clock.
TEST_F(BanStoreTest, ATimedBanRefusesUntilItsEndThenNoOne) {
  constexpr int64_t kStart = 1'800'000'000;
  int64_t now = kStart;
  BanStore store(File());
  store.SetClock([&now] { return now; });
  ASSERT_TRUE(BanRows::Insert(store, loop_, "10.0.0.1", "ann", "boss", "", "Main"));  // permanent
  BanStore::Ban timed = Eve();
  timed.expires = kStart + 60;
  {
    WriteLock lock(File());  // keeps it pending while the clock runs out
    ASSERT_TRUE(lock.Held());
    store.Record(timed, loop_.Context());
    ASSERT_EQ(store.Unsaved(), 1u);
    EXPECT_TRUE(store.IsBanned("10.0.0.9", "Main"));
    EXPECT_EQ(store.NetworksBanning("10.0.0.9"), std::vector<std::string>{"Main"});
    now = kStart + 60;
    EXPECT_FALSE(store.IsBanned("10.0.0.9", "Main"));
    EXPECT_TRUE(store.NetworksBanning("10.0.0.9").empty());
    EXPECT_EQ(store.Pending("Main").size(), 1u);  // still listed until written
  }
  ASSERT_TRUE(PumpUntil(
      loop_, [&] { return store.Unsaved() == 0; }, 5000));

  // The row carries its end; the table asks the same question.
  struct Case {
    int64_t at;
    bool banned;
  };
  for (const Case& c :
       {Case{kStart + 59, true}, Case{kStart + 60, false}, Case{kStart + 86400 * 400, false}}) {
    now = c.at;
    EXPECT_EQ(store.IsBanned("10.0.0.9", "main"), c.banned) << c.at;
    EXPECT_EQ(store.NetworksBanning("10.0.0.9").size(), c.banned ? 1u : 0u) << c.at;
    EXPECT_TRUE(store.IsBanned("10.0.0.1", "Main")) << c.at;
  }
  std::string error;
  std::vector<BanStore::Ban> rows = store.Rows("Main", &error);
  ASSERT_EQ(rows.size(), 2u) << error;
  EXPECT_FALSE(rows[0].expires);
  EXPECT_EQ(rows[0].banlength, 1);
  ASSERT_TRUE(rows[1].expires);
  EXPECT_EQ(*rows[1].expires, kStart + 60);
  EXPECT_EQ(rows[1].banlength, 1);
  EXPECT_EQ(BanStore::EndText(rows[0], now), BanStore::kNever);
  std::string end = BanStore::EndText(rows[1], kStart);
  EXPECT_EQ(end.find(BanStore::kExpired), std::string::npos) << end;
  EXPECT_EQ(BanStore::EndText(rows[1], kStart + 60), end + BanStore::kExpired);
  // The lift of an expired row still finds it.
  EXPECT_TRUE(store.Lift(rows[1].id, "Main"));
}

// A file from before bans could end gains the column on open; its rows
// hold NULL there, so however late the clock they still refuse, and the
// old `banlength` of 1 is read as before, never as a length.
TEST_F(BanStoreTest, AFileWrittenBeforeBansCouldEndKeepsItsBansPermanent) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(File().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE bans (id INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, "
                         "\"by\" TEXT, reason TEXT, bandate DATETIME, banlength INTEGER, "
                         "network TEXT, name TEXT);"
                         "INSERT INTO bans (address, \"by\", reason, bandate, banlength, network, "
                         "name) VALUES ('10.0.0.9', 'boss', 'old', '2020-01-02 03:04:05', 1, "
                         "'Main', 'eve');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  for (int open = 0; open < 2; ++open) {  // the second open finds the column there
    BanStore store(File());
    store.SetClock([] { return int64_t{4'000'000'000}; });
    EXPECT_TRUE(store.IsBanned("10.0.0.9", "Main"));
    EXPECT_EQ(store.NetworksBanning("10.0.0.9"), std::vector<std::string>{"Main"});
    std::string error;
    std::vector<BanStore::Ban> rows = store.Rows("", &error);
    ASSERT_EQ(rows.size(), 1u) << error;
    EXPECT_FALSE(rows[0].expires);
    EXPECT_EQ(rows[0].name, "eve");
  }
}

// The store waits for its reader, which stops at the next row: no thread
// and no connection to the file outlives it, and an unfinished list is
// dropped.
TEST_F(BanStoreTest, DestroyingTheStoreStopsAListHalfRead) {
  constexpr int kRows = 2000;
  auto store = std::make_unique<BanStore>(File());
  for (int i = 0; i < kRows; ++i) {
    store->Record(BanRows::Make("10.0.0.1", "eve", "boss", "", "Main"), loop_.Context());
  }
  ASSERT_TRUE(BanRows::WaitStored(*store, loop_));
  std::atomic<int> formatted{0};
  bool answered = false;
  store->ListNetwork(
      "Main", 0,
      [&](const BanStore::Ban&, std::string&) {
        ++formatted;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      loop_.Context(), [&](std::optional<std::string>, std::string) { answered = true; });
  for (int i = 0; i < 5000 && formatted == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GT(formatted, 0);
  store.reset();
  EXPECT_LT(formatted, kRows);
  for (int i = 0; i < 10; ++i) loop_.DoEvents(1);
  EXPECT_FALSE(answered);
}

}  // namespace
}  // namespace brelvint
