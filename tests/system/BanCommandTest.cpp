#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

const char kAdmin[] = "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n";

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// `brelvint bans` beside a running server whose administrator banned eve.
class BanCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = ServiceProcess::FreePort();
    service_.BindToLoopback();
    service_.AddNetwork("main.conf", "Main", port_, kAdmin);
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
    ASSERT_TRUE(boss_.Connect(port_) && boss_.ReceiveCommand(1) &&
                boss_.Login("Main", "pw", "boss"));
    TestClient eve;
    ASSERT_TRUE(eve.Connect(port_, "127.0.0.5") && eve.ReceiveCommand(1) &&
                eve.Login("Main", "pw", "eve"));
    boss_.Send(11, "eve|spam\nand worse");
    ASSERT_TRUE(eve.ReceiveCommand(997));
    // Listed at once; stored once the writer has written it.
    for (int i = 0; i < 100; ++i) {
      std::string list = Bans();
      if (list.find("eve") != std::string::npos &&
          list.find("not yet stored") == std::string::npos) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // The output of `brelvint bans <arguments> --data-dir <the server's>`.
  std::string Bans(std::vector<std::string> arguments = {"list"}, int* status = nullptr) {
    arguments.insert(arguments.begin(), "bans");
    arguments.push_back("--data-dir");
    arguments.push_back(service_.Folder().string());
    auto ended = command_.RunToEnd(arguments);
    if (status != nullptr) *status = ended ? *ended : -1;
    return Joined(command_.OutputLines()) + command_.ErrorOutput();
  }
  bool Logged(const std::string& part) {
    for (const auto& line : service_.LogMessages()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
  bool EveLogsIn() {
    TestClient eve;
    return eve.Connect(port_, "127.0.0.5") && eve.ReceiveCommand(1) &&
           eve.Login("Main", "pw", "eve");
  }

  ServiceProcess service_;
  ServiceProcess command_;  // runs the same executable with its own HOME
  uint16_t port_ = 0;
  TestClient boss_;
};

TEST_F(BanCommandTest, ListShowsTheStoredBansAsATable) {
  int status = -1;
  std::string table = Bans({"list"}, &status);
  EXPECT_EQ(status, 0);
  // The reason's line feed is shown escaped: a row is one line.
  EXPECT_NE(table.find("ID  Network  Address    Name  By    Date"), std::string::npos) << table;
  EXPECT_NE(table.find("1   Main     127.0.0.5  eve   boss  "), std::string::npos) << table;
  EXPECT_NE(table.find("spam\\nand worse\n"), std::string::npos) << table;
  EXPECT_EQ(Bans({"list", "--network", "mAIN"}), table);
  EXPECT_EQ(Bans({"list", "--network", "Other"}), "No bans stored for network Other.\n");
}

// A lift while the server runs: logged in the server's log as an
// administrator's lift is, and honoured at eve's next connection.
TEST_F(BanCommandTest, ALiftIsLoggedByTheServerAndHonouredAtOnce) {
  ASSERT_FALSE(EveLogsIn());
  int status = -1;
  std::string output = Bans({"lift", "1"}, &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("(brelvint bans lift) on network Main: 127.0.0.5 eve"), std::string::npos)
      << output;
  EXPECT_TRUE(Logged("Ban 1 lifted by operator "));
  EXPECT_TRUE(Logged("(brelvint bans lift) on network Main: 127.0.0.5 eve"));
  EXPECT_TRUE(EveLogsIn());
  EXPECT_EQ(Bans(), "No bans stored.\n");
  // A second lift of the same ban finds none.
  output = Bans({"lift", "1"}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("no ban 1 in "), std::string::npos) << output;
  EXPECT_TRUE(service_.Stop());
}

// After logrotate moved the log away, a lift makes the log file again: no
// wider than the server's own files (never readable by every local user),
// and naming the operator behind `sudo -u`. The server is stopped first: a
// running one is asked through its control socket and writes its own log,
// so only a lift without a server makes the file itself.
TEST_F(BanCommandTest, ALiftAfterARotationMakesAPrivateLogNamingTheSudoUser) {
  namespace fs = std::filesystem;
  const fs::path log = service_.LogFile();
  ASSERT_TRUE(service_.Stop());
  fs::rename(log, log.string() + ".rotated");
  command_.SetEnvironment("SUDO_USER", "anna");
  int status = -1;
  std::string output = Bans({"lift", "1"}, &status);
  EXPECT_EQ(status, 0) << output;
  ASSERT_TRUE(fs::exists(log));
  struct stat about {};
  ASSERT_EQ(::stat(log.c_str(), &about), 0);
  EXPECT_EQ(about.st_mode & 027, 0u) << std::oct << (about.st_mode & 0777);
  EXPECT_EQ(about.st_uid, ::geteuid());
  std::ifstream in(log);
  std::string text(std::istreambuf_iterator<char>(in), {});
  EXPECT_NE(text.find("Ban 1 lifted by operator anna (brelvint bans lift) on network Main"),
            std::string::npos)
      << text;
}

// As root on a folder another account owns, both commands are refused
// with the sudo -u command to run instead: nothing is made there that the
// server's account could not open, the rotated log is not made again, and
// the ban stays.
TEST_F(BanCommandTest, RootIsRefusedOnAnotherAccountsFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  namespace fs = std::filesystem;
  const fs::path log = service_.LogFile();
  fs::rename(log, log.string() + ".rotated");
  ASSERT_EQ(::chown(service_.Folder().c_str(), 65534, 65534), 0);
  const std::string folder = service_.Folder().string();
  for (const char* action : {"list", "lift"}) {
    SCOPED_TRACE(action);
    std::vector<std::string> arguments{action};
    if (std::string(action) == "lift") arguments.push_back("1");
    int status = -1;
    std::string output = Bans(arguments, &status);
    EXPECT_EQ(status, 1) << output;
    std::string command = "sudo -u nobody brelvint bans " + std::string(action) +
                          (arguments.size() == 2 ? " 1" : "") + " --data-dir " + folder + "\n";
    EXPECT_NE(output.find("belongs to nobody"), std::string::npos) << output;
    EXPECT_NE(output.find(command), std::string::npos) << output;
  }
  EXPECT_FALSE(fs::exists(log)) << "the rotated log was made again";
  ASSERT_EQ(::chown(service_.Folder().c_str(), 0, 0), 0);
  EXPECT_FALSE(EveLogsIn()) << "the ban was lifted";
}

TEST(BanCommandArgumentsTest, WrongUseIsRefusedAndAFolderWithoutBansGainsNoDatabase) {
  ServiceProcess command;
  const std::string folder = command.Folder().string();
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string output;  // a part of standard output and error together
  };
  for (const Case& c : std::vector<Case>{
           {{"bans"}, 2, "Usage: brelvint bans list"},
           {{"bans", "lift"}, 2, "Usage: brelvint bans list"},
           {{"bans", "lift", "x1"}, 2, "Usage: brelvint bans list"},
           {{"bans", "list", "extra"}, 2, "Usage: brelvint bans list"},
           {{"bans", "list", "--data-dir", folder}, 0, "No bans stored ("},
           {{"bans", "lift", "3", "--data-dir", folder}, 1, "no ban database at "},
       }) {
    EXPECT_EQ(command.RunToEnd(c.arguments), c.status) << c.arguments.size();
    std::string output = Joined(command.OutputLines()) + command.ErrorOutput();
    EXPECT_NE(output.find(c.output), std::string::npos) << output;
  }
  EXPECT_FALSE(std::filesystem::exists(command.Folder() / "brelvint.db"));
}

}  // namespace
}  // namespace brelvint
