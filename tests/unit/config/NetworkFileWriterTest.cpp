// The network file writer: logins handed over from the loop are written on
// the writer's thread, those handed over meanwhile together, and none is
// ever dropped: a failed write is kept and tried again, and a stop writes
// what is pending and names what it could not.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/LogMessage.h"
#include "config/LoadNetworks.h"
#include "config/NetworkFileWriter.h"
#include "config/ServerNetworks.h"
#include "support/ScopedHome.h"
#include "support/ServiceProcess.h"
#include "support/TempFolder.h"
#include "support/WriteBlocker.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Users = std::vector<std::pair<std::string, std::string>>;  // name, LastIP
constexpr std::chrono::seconds kWait{5};

class NetworkFileWriterTest : public ::testing::Test {
 protected:
  NetworkFileWriterTest() : home_(temp_.Path() / "home") {}

  // A network file in "net/" holding `users`.
  fs::path WriteNetwork(const std::string& file, const Users& users = {}) const {
    std::string text = "<brelvint>\n  <network name=\"N\">\n";
    for (const auto& [name, address] : users) {
      text += "    <User Name=\"" + name + "\" LastIP=\"" + address + "\" />\n";
    }
    return temp_.WriteFile(fs::path("net") / file, text + "  </network>\n</brelvint>\n");
  }
  // The users of the file, as the service's reader sees them.
  static Users UsersOf(const fs::path& file) {
    Users users;
    std::unique_ptr<ServerNetworks> network = modGlobal::ReadNetworkXML(file);
    EXPECT_TRUE(network) << file;
    if (network) {
      for (const auto& user : network->Users) users.emplace_back(user->Name, user->LastIP);
    }
    return users;
  }
  // The writer's own log lines (the reader's are left out).
  Lines LogLines() const {
    std::istringstream log(temp_.ReadFile(fs::path("home") / modGlobal::kLogFileName));
    Lines lines;
    for (std::string line; std::getline(log, line);) {
      line = StripLogPrefix(line);
      if (line.rfind("Network XML Parsed: ", 0) != 0) lines.push_back(line);
    }
    return lines;
  }

  TempFolder temp_;
  ScopedHome home_;
  NetworkFileWriter writer_;
};

// Logins handed over before the thread runs wait as they would behind a
// write under way: the next write of each file takes them all, a later
// login of a name in place of its earlier one.
TEST_F(NetworkFileWriterTest, LoginsHandedOverMeanwhileShareOneWritePerFile) {
  const fs::path a = WriteNetwork("a.conf", {{"ann", "10.0.0.1"}});
  const fs::path b = WriteNetwork("b.conf");
  for (int i = 0; i < 50; ++i) {
    writer_.Submit(a, {{"user" + std::to_string(i % 10), "10.1.0." + std::to_string(i)}});
    writer_.Submit(b, {{"p" + std::to_string(i), "10.2.0." + std::to_string(i)}});
  }
  writer_.Submit(a, {{"ANN", "10.0.0.99"}});
  EXPECT_EQ(writer_.PendingLogins(), 101u);
  EXPECT_EQ(UsersOf(a), (Users{{"ann", "10.0.0.1"}}));

  writer_.Start();
  EXPECT_TRUE(writer_.Flush(kWait));
  EXPECT_EQ(writer_.Writes(), 2u);
  EXPECT_EQ(writer_.PendingLogins(), 0u);
  Users expected_a = {{"ann", "10.0.0.99"}};
  for (int k = 0; k < 10; ++k) {
    expected_a.emplace_back("user" + std::to_string(k), "10.1.0." + std::to_string(40 + k));
  }
  EXPECT_EQ(UsersOf(a), expected_a);
  Users b_users = UsersOf(b);
  ASSERT_EQ(b_users.size(), 50u);
  EXPECT_EQ(b_users.back(), (Users::value_type{"p49", "10.2.0.49"}));
  EXPECT_TRUE(LogLines().empty());
}

// A replace that fails is logged once per reason, the logins are kept, and
// they are written when the folder takes files again, with no further
// login to carry them; that success is logged.
TEST_F(NetworkFileWriterTest, FailedWriteIsLoggedOnceAndTriedAgainUntilItSucceeds) {
  const fs::path a = WriteNetwork("a.conf", {{"ann", "10.0.0.1"}});
  const std::string before = temp_.ReadFile("net/a.conf");
  writer_.Start();
  {
    WriteBlocker blocker(a.parent_path());
    if (!blocker.Blocks()) GTEST_SKIP() << "cannot make a folder refuse new files here";
    writer_.Submit(a, {{"ann", "10.0.0.2"}, {"bob", "10.0.0.3"}});
    EXPECT_FALSE(writer_.Flush(kWait));
    writer_.Submit(a, {{"cy", "10.0.0.4"}});
    EXPECT_FALSE(writer_.Flush(kWait));  // the same failure again: no new line
    EXPECT_EQ(writer_.PendingLogins(), 3u);
    EXPECT_EQ(temp_.ReadFile("net/a.conf"), before);
    Lines lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Cannot write network file " + a.string() + " (", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("); its logins are kept and tried again every second (2 so far)"),
              std::string::npos)
        << lines[0];
  }
  for (int i = 0; i < 500 && writer_.PendingLogins() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  writer_.ReportToLog();
  EXPECT_EQ(UsersOf(a), (Users{{"ann", "10.0.0.2"}, {"bob", "10.0.0.3"}, {"cy", "10.0.0.4"}}));
  fs::directory_iterator entries(a.parent_path());
  EXPECT_EQ(std::distance(entries, fs::directory_iterator()), 1);  // no temporary file left
  EXPECT_EQ(LogLines().back(),
            "Network file " + a.string() + " written with the logins that waited (3)");
}

// A stop writes what it can before it returns, and names each login it
// could not write (escaped, as every client text in the log).
TEST_F(NetworkFileWriterTest, StopWritesWhatIsPendingAndNamesEachLoginItCannot) {
  const fs::path good = WriteNetwork("good.conf");
  const fs::path broken = temp_.WriteFile("net/broken.conf", "<brelvint><network name=\"B\">");
  writer_.Start();
  writer_.Submit(good, {{"ann", "10.0.0.5"}});
  writer_.Submit(broken, {{"eve\nx", "10.0.0.6"}, {"fay", "10.0.0.7"}});
  EXPECT_FALSE(writer_.Stop(kWait));

  EXPECT_EQ(UsersOf(good), (Users{{"ann", "10.0.0.5"}}));
  EXPECT_EQ(temp_.ReadFile("net/broken.conf"), "<brelvint><network name=\"B\">");
  const std::string not_written = "Login not written to " + broken.string() + " before the stop: ";
  EXPECT_EQ(LogLines(),
            (Lines{"Network file " + broken.string() +
                       " cannot be read as a network; its logins wait until it can "
                       "(2 so far)",
                   not_written + "eve\\nx from 10.0.0.6", not_written + "fay from 10.0.0.7"}));
  writer_.Submit(good, {{"late", "10.0.0.8"}});
  EXPECT_EQ(writer_.PendingLogins(), 2u);  // only the two that could not be written
}

// What a reload sees of a file its writer cannot write yet: the logins in
// the order they will land, a later one of a name after its earlier one.
// Dropped (its network removed), they are gone for good: a file of that name
// made afterwards never receives them.
TEST_F(NetworkFileWriterTest, PendingForListsWhatAFileWillTakeAndDropForgetsIt) {
  const fs::path gone = temp_.Path() / "net" / "gone.conf";
  fs::create_directories(gone.parent_path());
  writer_.Submit(gone, {{"ann", "10.0.0.1"}, {"bob", "10.0.0.2"}});
  // Before the thread runs they wait in the queue, and are listed from it.
  std::vector<NetworkFile::Login> pending = writer_.PendingFor(gone);
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[1].name, "bob");
  writer_.Start();
  EXPECT_FALSE(writer_.Flush(kWait));  // no file to read: they wait
  writer_.Submit(gone, {{"ANN", "10.0.0.3"}});
  // Merged into the logins that wait, as the file will take them: the
  // first spelling, the last address.
  EXPECT_FALSE(writer_.Flush(kWait));
  pending = writer_.PendingFor(gone);
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].name, "ann");
  EXPECT_EQ(pending[0].address, "10.0.0.3");
  EXPECT_TRUE(writer_.PendingFor(temp_.Path() / "net" / "other.conf").empty());

  EXPECT_EQ(writer_.Drop(gone), 2u);
  EXPECT_TRUE(writer_.PendingFor(gone).empty());
  EXPECT_EQ(writer_.PendingLogins(), 0u);
  WriteNetwork("gone.conf", {{"cy", "10.0.0.9"}});
  writer_.Submit(gone, {{"dee", "10.0.0.4"}});
  EXPECT_TRUE(writer_.Flush(kWait));
  EXPECT_EQ(UsersOf(gone), (Users{{"cy", "10.0.0.9"}, {"dee", "10.0.0.4"}}));
}

}  // namespace
}  // namespace brelvint
