#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// `brelvint kick`, `ban`, `lift`, `broadcast` and `members` against a
// running server with two networks on two ports: North (ann, bob) and
// South (carl).
class ControlCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto ports = ServiceProcess::FreePorts(2);
    ASSERT_EQ(ports.size(), 2u);
    north_port_ = ports[0];
    south_port_ = ports[1];
    service_.BindToLoopback();
    service_.AddNetwork("north.conf", "North", north_port_);
    service_.AddNetwork("south.conf", "South", south_port_);
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
    ASSERT_TRUE(service_.WaitForLine("Control socket listening on " +
                                     (service_.Folder() / "brelvint.sock").string()));
    command_.SetEnvironment("SUDO_USER", "alice");
  }
  bool Join(TestClient& client, uint16_t port, const std::string& network, const std::string& name,
            const std::string& source = "127.0.0.1") {
    return client.Connect(port, source) && client.ReceiveCommand(1) &&
           client.Login(network, "pw", name);
  }
  Ran Command(std::vector<std::string> arguments) {
    arguments.push_back("--data-dir");
    arguments.push_back(service_.Folder().string());
    Ran ran;
    auto ended = command_.RunToEnd(arguments);
    ran.status = ended ? *ended : -1;
    ran.out = Joined(command_.OutputLines());
    ran.err = command_.ErrorOutput();
    return ran;
  }
  // True once a log line holds `text`.
  bool Logged(const std::string& text) {
    for (int i = 0; i < 60; ++i) {
      for (const auto& line : service_.LogMessages()) {
        if (line.find(text) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  ServiceProcess service_;
  ServiceProcess command_;  // the same executable with its own HOME
  uint16_t north_port_ = 0;
  uint16_t south_port_ = 0;
};

TEST_F(ControlCommandTest, KickEndsTheMembersConnectionAndNamesTheOperator) {
  TestClient ann, bob;
  ASSERT_TRUE(Join(ann, north_port_, "North", "ann"));
  ASSERT_TRUE(Join(bob, north_port_, "North", "bob"));
  Ran kicked = Command({"kick", "ANN", "--network", "north", "--reason", "spam"});
  EXPECT_EQ(kicked.status, 0) << kicked.err;
  EXPECT_EQ(kicked.out, "Kicked ANN from network North.\n");
  auto told = ann.ReceiveCommand(996);
  ASSERT_TRUE(told);
  EXPECT_EQ(told->data, "spam");
  EXPECT_TRUE(ann.WaitClosed());
  auto left = bob.ReceiveCommand(6);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->data, "ann");
  EXPECT_TRUE(Logged("annon network North Kicked: spam; by operator alice (command line)"));
  EXPECT_TRUE(bob.ExpectFenceNext());

  // Nobody of that name, a network that does not exist, several networks
  // and none named: status 1 and a line saying so; bob stays.
  struct Case {
    std::vector<std::string> arguments;
    std::string line;
  } cases[] = {
      {{"kick", "ann", "--network", "North"}, "brelvint: ann is not on network North.\n"},
      {{"kick", "bob", "--network", "West"},
       "brelvint: There is no network West on this server.\n"},
      {{"kick", "bob"}, "brelvint: This server has 2 networks: name one (--network NAME).\n"},
      {{"ban", "carl", "--network", "North"}, "brelvint: carl is not on network North.\n"},
  };
  for (const Case& c : cases) {
    Ran ran = Command(c.arguments);
    EXPECT_EQ(ran.status, 1) << c.line;
    EXPECT_EQ(ran.err, c.line);
  }
  EXPECT_TRUE(bob.ExpectFenceNext());
  EXPECT_TRUE(service_.Stop());
}

TEST_F(ControlCommandTest, ABanRefusesTheAddressIsListedAndALiftLetsItIn) {
  TestClient eve;
  ASSERT_TRUE(Join(eve, north_port_, "North", "eve", "127.0.0.5"));
  Ran banned = Command({"ban", "eve", "--network", "North", "--reason", "cheat\nand lie"});
  EXPECT_EQ(banned.status, 0) << banned.err;
  EXPECT_EQ(banned.out, "Banned eve (127.0.0.5) on network North.\n");
  auto told = eve.ReceiveCommand(997);
  ASSERT_TRUE(told);
  EXPECT_EQ(told->data, "cheat\nand lie");
  EXPECT_TRUE(eve.WaitClosed());
  EXPECT_TRUE(
      Logged("eveon network North Banned: cheat\\nand lie; by operator alice (command line)"));

  // Refused at once, whether or not the row is written yet.
  TestClient again;
  ASSERT_TRUE(again.Connect(north_port_, "127.0.0.5"));
  auto refused = again.Receive();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->command, 997);

  // Listed through the running server, client text escaped, once written.
  Ran listed;
  for (int i = 0; i < 100; ++i) {
    listed = Command({"bans", "list"});
    if (listed.out.find("eve") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("1   North    127.0.0.5  eve   operator alice (command line)  "),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("cheat\\nand lie\n"), std::string::npos) << listed.out;

  Ran lifted = Command({"lift", "1"});
  EXPECT_EQ(lifted.status, 0) << lifted.err;
  EXPECT_EQ(lifted.out,
            "Ban 1 lifted by operator alice (command line) on network North: 127.0.0.5 eve\n");
  EXPECT_TRUE(
      Logged("Ban 1 lifted by operator alice (command line) on network North: 127.0.0.5 eve"));
  TestClient back;
  EXPECT_TRUE(Join(back, north_port_, "North", "eve", "127.0.0.5"));
  Ran twice = Command({"lift", "1"});
  EXPECT_EQ(twice.status, 1);
  EXPECT_NE(twice.err.find("brelvint: no ban 1 in "), std::string::npos) << twice.err;
  EXPECT_TRUE(service_.Stop());
}

// A ban for some minutes refuses at once and says how long, in the answer
// and the log; the list shows when it ends. A ban whose end has passed (a
// row written with its end in the past) refuses no one and is listed as
// expired.
TEST_F(ControlCommandTest, ATimedBanRefusesAtOnceAndAnEndedOneNoOne) {
  TestClient eve;
  ASSERT_TRUE(Join(eve, north_port_, "North", "eve", "127.0.0.5"));
  Ran banned =
      Command({"ban", "eve", "--network", "North", "--minutes", "30", "--reason", "flood"});
  EXPECT_EQ(banned.status, 0) << banned.err;
  EXPECT_EQ(banned.out, "Banned eve (127.0.0.5) on network North for 30 minutes.\n");
  ASSERT_TRUE(eve.ReceiveCommand(997));
  EXPECT_TRUE(eve.WaitClosed());
  EXPECT_TRUE(
      Logged("eveon network North Banned for 30 minutes: flood; by operator alice (command line)"));
  TestClient again;
  ASSERT_TRUE(again.Connect(north_port_, "127.0.0.5"));
  auto refused = again.Receive();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->command, 997);

  // The ban is stored before a row goes in by hand, so the two never
  // contend for one number.
  for (int i = 0; i < 100; ++i) {
    Ran listed = Command({"bans", "list"});
    if (listed.out.find(" eve ") != std::string::npos &&
        listed.out.find("not yet stored") == std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((service_.Folder() / "brelvint.db").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  int inserted = sqlite3_exec(
      db,
      "INSERT INTO bans (address, name, \"by\", reason, bandate, banlength, network, expires) "
      "VALUES ('127.0.0.6', 'old', 'boss', 'served', '2020-01-02 03:04:05', 1, 'North', 1000)",
      nullptr, nullptr, nullptr);
  sqlite3_close(db);
  ASSERT_EQ(inserted, SQLITE_OK);
  TestClient old;
  EXPECT_TRUE(Join(old, north_port_, "North", "old", "127.0.0.6"));

  Ran listed = Command({"bans", "list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  std::string eve_line, old_line;
  size_t start = 0;
  while (start < listed.out.size()) {
    size_t end = listed.out.find('\n', start);
    std::string line = listed.out.substr(start, end - start);
    if (line.find(" eve ") != std::string::npos) eve_line = line;
    if (line.find(" old ") != std::string::npos) old_line = line;
    start = end == std::string::npos ? listed.out.size() : end + 1;
  }
  EXPECT_NE(listed.out.find("  Ends  "), std::string::npos) << listed.out;
  ASSERT_FALSE(eve_line.empty()) << listed.out;
  EXPECT_EQ(eve_line.find("never"), std::string::npos) << eve_line;
  EXPECT_EQ(eve_line.find("(expired)"), std::string::npos) << eve_line;
  EXPECT_NE(old_line.find(" (expired)  served"), std::string::npos) << listed.out;
  EXPECT_TRUE(old.ExpectFenceNext());
  EXPECT_TRUE(service_.Stop());
}

TEST_F(ControlCommandTest, ABroadcastReachesEveryMemberOfTheNetworkAndOnlyThem) {
  TestClient ann, bob, carl, stranger;
  ASSERT_TRUE(Join(ann, north_port_, "North", "ann"));
  ASSERT_TRUE(Join(bob, north_port_, "North", "bob"));
  ASSERT_TRUE(Join(carl, south_port_, "South", "carl"));
  // Connected to North's port but not logged in: not a member.
  ASSERT_TRUE(stranger.Connect(north_port_) && stranger.ReceiveCommand(1));

  Ran sent = Command({"broadcast", "Restart in 5 minutes", "--network", "North"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(sent.out, "Sent to 2 members of network North.\n");
  for (TestClient* member : {&ann, &bob}) {
    auto notice = member->Receive();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->command, 998);
    EXPECT_EQ(notice->data, "Restart in 5 minutes");
  }
  EXPECT_TRUE(
      Logged("Broadcast to network North by operator alice (command line): Restart in 5 minutes"));
  for (TestClient* client : {&ann, &bob, &carl, &stranger}) EXPECT_TRUE(client->ExpectFenceNext());

  Ran everyone = Command({"broadcast", "--all", "Back soon"});
  EXPECT_EQ(everyone.status, 0) << everyone.err;
  EXPECT_EQ(everyone.out, "Sent to 3 members of every network.\n");
  for (TestClient* member : {&ann, &bob, &carl}) {
    auto notice = member->Receive();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->command, 998);
    EXPECT_EQ(notice->data, "Back soon");
  }
  for (TestClient* client : {&ann, &bob, &carl, &stranger}) EXPECT_TRUE(client->ExpectFenceNext());
  EXPECT_TRUE(service_.Stop());
}

TEST_F(ControlCommandTest, MembersListsWhoIsOnWithAddressAndConnectionTime) {
  TestClient ann, carl;
  ASSERT_TRUE(Join(ann, north_port_, "North", "ann", "127.0.0.7"));
  ASSERT_TRUE(Join(carl, south_port_, "South", "carl"));
  Ran all = Command({"members"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out.substr(0, all.out.find('\n')), "Network  Name  Address    Connected");
  EXPECT_NE(all.out.find("\nNorth    ann   127.0.0.7  20"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("\nSouth    carl  127.0.0.1  20"), std::string::npos) << all.out;
  Ran south = Command({"members", "--network", "south"});
  EXPECT_EQ(south.out.find("ann"), std::string::npos) << south.out;
  EXPECT_NE(south.out.find("carl"), std::string::npos) << south.out;
  carl.Close();
  Ran none;
  for (int i = 0; i < 50; ++i) {
    none = Command({"members", "--network", "South"});
    if (none.out == "No members on network South.\n") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(none.out, "No members on network South.\n");
  EXPECT_TRUE(service_.Stop());
  EXPECT_FALSE(fs::exists(service_.Folder() / "brelvint.sock"));
}

TEST_F(ControlCommandTest, ASecondServerCannotTakeTheSocketOverAndACrashedOnesIsReplaced) {
  struct stat before {};
  ASSERT_EQ(::stat((service_.Folder() / "brelvint.sock").c_str(), &before), 0);
  EXPECT_EQ(before.st_mode & 0777, 0660u);
  ServiceProcess second;
  second.UseHome(second.Home());
  EXPECT_EQ(second.RunToEnd({"--data-dir", service_.Folder().string()}), 1);
  struct stat after {};
  ASSERT_EQ(::stat((service_.Folder() / "brelvint.sock").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(Command({"members"}).status, 0);

  // A crash leaves the file behind: nothing answers on it, and the next
  // start replaces it.
  service_.Signal(SIGKILL);
  service_.WaitExit();
  ASSERT_TRUE(fs::exists(service_.Folder() / "brelvint.sock"));
  Ran down = Command({"members"});
  EXPECT_EQ(down.status, 1);
  EXPECT_NE(down.err.find("the server is not running"), std::string::npos) << down.err;
  ASSERT_TRUE(service_.Start());
  ASSERT_TRUE(service_.WaitForLine("Control socket listening on " +
                                   (service_.Folder() / "brelvint.sock").string()));
  EXPECT_EQ(Command({"members"}).status, 0);
  EXPECT_TRUE(service_.Stop());
}

// Runs `brelvint members` against `folder` as the account `nobody`.
Ran MembersAsNobody(const fs::path& folder) {
  Ran ran;
  int out[2];
  if (::pipe(out) != 0) return ran;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::execl("/usr/bin/setpriv", "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
            BRELVINT_EXECUTABLE, "members", "--data-dir", folder.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  char chunk[4096];
  ssize_t n;
  while ((n = ::read(out[0], chunk, sizeof chunk)) > 0) ran.err.append(chunk, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

TEST_F(ControlCommandTest, AnAccountThatCannotWriteTheDataFolderCannotAct) {
  if (::geteuid() != 0 || ::getpwnam("nobody") == nullptr || !fs::exists("/usr/bin/setpriv")) {
    GTEST_SKIP() << "needs root, the account nobody and setpriv";
  }
  // nobody may enter the folder (and run the executable) but not write it.
  fs::permissions(service_.Folder(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
  Ran refused = MembersAsNobody(service_.Folder());
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_NE(refused.err.find("Permission denied"), std::string::npos) << refused.err;
  // Even with the file opened to everyone, the server asks who it is.
  fs::permissions(service_.Folder() / "brelvint.sock", fs::perms::all);
  Ran asked = MembersAsNobody(service_.Folder());
  EXPECT_EQ(asked.status, 1) << asked.err;
  EXPECT_NE(asked.err.find("only one that can write its data folder may"), std::string::npos)
      << asked.err;
  EXPECT_TRUE(Logged("Control socket: refused uid "));
  EXPECT_TRUE(service_.Stop());
}

TEST(ControlCommandArgumentsTest, WrongUseIsAUsageErrorAndNoServerIsStatusOne) {
  ServiceProcess command;
  const std::string folder = command.Folder().string();
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string output;
  } cases[] = {
      {{"kick"}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "--reason", "x"}, 2, "Usage: brelvint kick NAME"},
      {{"lift", "one"}, 2, "Usage: brelvint kick NAME"},
      {{"broadcast"}, 2, "Usage: brelvint kick NAME"},
      {{"broadcast", "hi", "--all", "--network", "North"}, 2, "Usage: brelvint kick NAME"},
      {{"members", "extra"}, 2, "Usage: brelvint kick NAME"},
      // A ban's length is a whole number of minutes, 1 to a year.
      {{"ban", "eve", "--minutes", "0", "--data-dir", folder}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes", "abc", "--data-dir", folder}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes", "-5"}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes", "1.5"}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes", "525601"}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes", "99999999999999999999"}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes", ""}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes"}, 2, "Usage: brelvint kick NAME"},
      {{"kick", "eve", "--minutes", "5"}, 2, "Usage: brelvint kick NAME"},
      {{"ban", "eve", "--minutes", "525600", "--network", "North", "--data-dir", folder},
       1,
       "brelvint: the server is not running"},
      {{"kick", "ann", "--network", "North", "--data-dir", folder},
       1,
       "brelvint: the server is not running (nothing answers on " + folder + "/brelvint.sock)"},
      {{"members", "--data-dir", folder}, 1, "brelvint: the server is not running"},
      {{"broadcast", "hi", "--all", "--data-dir", folder},
       1,
       "brelvint: the server is not running"},
      // Without a server a lift goes to the database, as `bans lift` does.
      {{"lift", "3", "--data-dir", folder}, 1, "no ban database at "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(command.RunToEnd(c.arguments), c.status) << c.output;
    std::string output = Joined(command.OutputLines()) + command.ErrorOutput();
    EXPECT_NE(output.find(c.output), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace brelvint
