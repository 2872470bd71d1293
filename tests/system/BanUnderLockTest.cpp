#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

using Clock = std::chrono::steady_clock;

const char kAdmin[] = "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n";

// A write transaction on the server's database, held the way an operator's
// sqlite3 shell holds one ("BEGIN IMMEDIATE;"), until Release.
class OperatorSession {
 public:
  explicit OperatorSession(const std::filesystem::path& file) {
    sqlite3_open(file.c_str(), &db_);
    held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~OperatorSession() {
    Release();
    sqlite3_close(db_);
  }
  bool Held() const { return held_; }
  void Release() {
    if (held_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    held_ = false;
  }
  // Rows banning `address`, read through this connection.
  int Rows(const std::string& address) {
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM bans WHERE address = ?", -1, &count, nullptr);
    sqlite3_bind_text(count, 1, address.c_str(), -1, SQLITE_TRANSIENT);
    int rows = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int(count, 0) : -1;
    sqlite3_finalize(count);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
  bool held_ = false;
};

class BanUnderLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = ServiceProcess::FreePort();
    service_.BindToLoopback();
    service_.AddNetwork("main.conf", "Main", port_, kAdmin);
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
    ASSERT_TRUE(boss_.Connect(port_) && boss_.ReceiveCommand(1) &&
                boss_.Login("Main", "pw", "boss"));
    ASSERT_TRUE(anna_.Connect(port_, "127.0.0.6") && anna_.ReceiveCommand(1) &&
                anna_.Login("Main", "pw", "anna"));
  }
  std::filesystem::path Database() const { return service_.Folder() / "brelvint.db"; }
  bool Logged(const std::string& part) {
    for (const auto& line : service_.LogMessages()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

  // The administrators' ban list, as boss reads it.
  std::string AdminList() {
    boss_.Send(13, "");
    auto list = boss_.ReceiveCommand(13);
    return list ? list->data : "<no list>";
  }
  // The output of `brelvint bans <arguments> --data-dir <the server's>`.
  std::string Bans(std::vector<std::string> arguments, int* status = nullptr) {
    arguments.insert(arguments.begin(), "bans");
    arguments.push_back("--data-dir");
    arguments.push_back(service_.Folder().string());
    auto ended = command_.RunToEnd(arguments, 20000);
    if (status != nullptr) *status = ended ? *ended : -1;
    std::string text;
    for (const auto& line : command_.OutputLines()) text += line + "\n";
    return text + command_.ErrorOutput();
  }
  // `brelvint bans list` once it shows `part` (the server lists a new ban
  // for the command line a moment after it takes effect); the last output
  // when it never does.
  std::string ListShowing(const std::string& part) {
    std::string table;
    for (int i = 0; i < 100; ++i) {
      table = Bans({"list"});
      if (table.find(part) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return table;
  }
  bool LogsIn(const std::string& source, const std::string& name) {
    TestClient client;
    return client.Connect(port_, source) && client.ReceiveCommand(1) &&
           client.Login("Main", "pw", name);
  }

  ServiceProcess service_;
  ServiceProcess command_;  // `brelvint bans`, with a HOME of its own
  uint16_t port_ = 0;
  TestClient boss_, anna_;
};

// An operator holds the database while an administrator bans: the ban
// holds at once, nobody waits for the database, and the row is written
// once the operator lets go.
TEST_F(BanUnderLockTest, ABanHoldsAtOnceAndIsWrittenOnceTheDatabaseIsFree) {
  TestClient eve;
  ASSERT_TRUE(eve.Connect(port_, "127.0.0.5") && eve.ReceiveCommand(1) &&
              eve.Login("Main", "pw", "eve"));
  OperatorSession session(Database());
  ASSERT_TRUE(session.Held());

  boss_.Send(11, "eve|spam");
  auto banned = eve.ReceiveCommand(997);
  ASSERT_TRUE(banned);
  EXPECT_EQ(banned->data, "spam");
  // Another member's round trip, answered while the database is still held.
  auto asked = Clock::now();
  ASSERT_TRUE(anna_.MessagesBeforeFence());
  std::printf("another member's round trip during a ban under a held lock: %.1f ms\n",
              std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
  // Back at once: refused from memory, the row not written yet.
  TestClient again;
  ASSERT_TRUE(again.Connect(port_, "127.0.0.5"));
  auto greeting = again.Receive();
  ASSERT_TRUE(greeting);
  EXPECT_EQ(greeting->command, 997);
  EXPECT_TRUE(again.WaitClosed());
  EXPECT_EQ(session.Rows("127.0.0.5"), 0);
  // The writer finds the database held, says so, and tries again.
  for (int i = 0; i < 100 && !Logged("not written yet"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(Logged("Ban of 127.0.0.5 (eve) on network Main not written yet: database is locked"))
      << testing::PrintToString(service_.LogMessages());
  EXPECT_EQ(session.Rows("127.0.0.5"), 0);
  ASSERT_TRUE(anna_.MessagesBeforeFence());  // the relay still answers

  session.Release();
  int rows = 0;
  for (int i = 0; i < 100 && rows == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rows = session.Rows("127.0.0.5");
  }
  EXPECT_EQ(rows, 1);
  for (int i = 0; i < 100 && !Logged("written to the ban database"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(Logged("Ban of 127.0.0.5 (eve) on network Main written to the ban database"));
  EXPECT_TRUE(service_.Stop());
}

// A stop while the database stays held writes nothing it cannot, and puts
// each ban it could not write in the log in full.
TEST_F(BanUnderLockTest, AStopWhileTheDatabaseIsHeldLogsEachUnsavedBan) {
  OperatorSession session(Database());
  ASSERT_TRUE(session.Held());
  boss_.Send(11, "anna|flood");
  ASSERT_TRUE(anna_.ReceiveCommand(997));
  ASSERT_TRUE(boss_.MessagesBeforeFence());
  service_.Signal(SIGTERM);
  auto status = service_.WaitExit(20000);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(
      Logged("Ban not saved (the ban database could not be written): address 127.0.0.6, "
             "name anna, network Main, by boss, reason flood, at "));
}

// While an operator holds the database, a new ban has its number at once:
// both lists show it as not yet stored, and an administrator's lift and
// `brelvint bans lift` each remove one from memory and from the writer's
// queue, so neither row is ever written; the next ban gets the next number.
TEST_F(BanUnderLockTest, APendingBanIsListedAndLiftedByBothPaths) {
  OperatorSession session(Database());
  ASSERT_TRUE(session.Held());
  boss_.Send(11, "anna|flood");
  ASSERT_TRUE(anna_.ReceiveCommand(997));
  std::string list = AdminList();
  EXPECT_NE(list.find(std::string("1|127.0.0.6|boss|flood (not yet stored)|")), std::string::npos)
      << list;
  std::string table = ListShowing("1   Main     127.0.0.6  anna  boss  ");
  EXPECT_NE(table.find("1   Main     127.0.0.6  anna  boss  "), std::string::npos) << table;
  EXPECT_NE(table.find("flood (not yet stored)\n"), std::string::npos) << table;

  // An administrator's lift.
  EXPECT_FALSE(LogsIn("127.0.0.6", "anna"));
  boss_.Send(14, "1");
  ASSERT_TRUE(boss_.MessagesBeforeFence());
  EXPECT_TRUE(Logged("Ban 1 lifted by boss on network Main: 127.0.0.6 anna"));
  EXPECT_TRUE(LogsIn("127.0.0.6", "anna"));

  // The command line's lift, the database still held.
  TestClient eve;
  ASSERT_TRUE(eve.Connect(port_, "127.0.0.5") && eve.ReceiveCommand(1) &&
              eve.Login("Main", "pw", "eve"));
  boss_.Send(11, "eve|spam");
  ASSERT_TRUE(eve.ReceiveCommand(997));
  table = ListShowing("2   Main     127.0.0.5  eve   boss  ");
  EXPECT_NE(table.find("2   Main     127.0.0.5  eve   boss  "), std::string::npos) << table;
  EXPECT_EQ(table.find("127.0.0.6"), std::string::npos) << table;
  int status = -1;
  std::string output = Bans({"lift", "2"}, &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("Ban 2 lifted by operator "), std::string::npos) << output;
  EXPECT_NE(output.find("(brelvint bans lift) on network Main: 127.0.0.5 eve"), std::string::npos)
      << output;
  EXPECT_TRUE(Logged("(brelvint bans lift) on network Main: 127.0.0.5 eve"));
  EXPECT_TRUE(LogsIn("127.0.0.5", "eve"));
  EXPECT_EQ(ListShowing("No bans stored."), "No bans stored.\n");
  EXPECT_EQ(AdminList(), "");

  // Once the database is free, a later ban is written under the next
  // number, and the writer, which writes in order, never wrote the lifted.
  session.Release();
  TestClient carl;
  ASSERT_TRUE(carl.Connect(port_, "127.0.0.7") && carl.ReceiveCommand(1) &&
              carl.Login("Main", "pw", "carl"));
  boss_.Send(11, "carl|again");
  ASSERT_TRUE(carl.ReceiveCommand(997));
  int rows = 0;
  for (int i = 0; i < 200 && rows == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rows = session.Rows("127.0.0.7");
  }
  EXPECT_EQ(rows, 1);
  EXPECT_EQ(session.Rows("127.0.0.6"), 0);
  EXPECT_EQ(session.Rows("127.0.0.5"), 0);
  table = Bans({"list"});
  EXPECT_NE(table.find("3   Main     127.0.0.7  carl  boss  "), std::string::npos) << table;
  EXPECT_EQ(table.find("not yet stored"), std::string::npos) << table;
  EXPECT_TRUE(service_.Stop());
}

}  // namespace
}  // namespace brelvint
