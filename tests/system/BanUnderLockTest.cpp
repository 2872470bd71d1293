#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

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

  ServiceProcess service_;
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

}  // namespace
}  // namespace brelvint
