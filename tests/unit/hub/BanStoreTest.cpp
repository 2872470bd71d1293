#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hub/BanStore.h"
#include "protocol/EventLoop.h"
#include "support/LoopbackPair.h"
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
        [&](std::optional<std::string> text) {
          answered = true;
          answer = std::move(text);
        });
    EXPECT_TRUE(PumpUntil(
        loop_, [&] { return answered; }, 5000));
    if (formatted_on != std::thread::id()) {
      EXPECT_NE(formatted_on, std::this_thread::get_id()) << "formatted on the loop";
    }
    return answer;
  }

  TempFolder folder_;
  EventLoop loop_;
};

TEST_F(BanStoreTest, ListsAndDeletesOnlyTheNamedNetworksRows) {
  BanStore store(File());
  ASSERT_TRUE(store.Insert("10.0.0.1", "eve", "boss", "spam", "Main"));
  ASSERT_TRUE(store.Insert("10.0.0.2", "sam", "chief", "", "Side"));
  ASSERT_TRUE(store.Insert("10.0.0.3", "ann", "boss", "", "MAIN"));
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
  ASSERT_TRUE(store.Insert("10.0.0.1", "eve", "boss", "new", "Main"));
  EXPECT_EQ(List(store, "Main"), std::string(2, '\0') + "1|10.0.0.9||Main;2|10.0.0.1|eve|Main;");
}

// The store waits for its reader, which stops at the next row: no thread
// and no connection to the file outlives it, and an unfinished list is
// dropped.
TEST_F(BanStoreTest, DestroyingTheStoreStopsAListHalfRead) {
  constexpr int kRows = 2000;
  auto store = std::make_unique<BanStore>(File());
  for (int i = 0; i < kRows; ++i) ASSERT_TRUE(store->Insert("10.0.0.1", "eve", "boss", "", "Main"));
  std::atomic<int> formatted{0};
  bool answered = false;
  store->ListNetwork(
      "Main", 0,
      [&](const BanStore::Ban&, std::string&) {
        ++formatted;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      loop_.Context(), [&](std::optional<std::string>) { answered = true; });
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
