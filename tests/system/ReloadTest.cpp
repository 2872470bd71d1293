#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

const char kAdmin[] = "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n";

// The real service, reloaded with SIGHUP after its files change underneath
// it; each test lays out its own files and starts it.
class ServiceReload : public ::testing::Test {
 protected:
  void StartService() {
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
  }
  std::unique_ptr<TestClient> Join(uint16_t port, const std::string& network,
                                   const std::string& user, const std::string& password = "pw") {
    auto client = std::make_unique<TestClient>();
    if (!client->Connect(port) || !client->ReceiveCommand(1) ||
        !client->Login(network, password, user)) {
      return nullptr;
    }
    return client;
  }
  std::string Ask(TestClient& client, int32_t command, const std::string& data, int32_t reply) {
    client.Send(command, data);
    auto answer = client.ReceiveCommand(reply);
    return answer ? answer->data : "<none>";
  }
  // Sends SIGHUP and waits for the reload to finish. The changes are logged
  // after the reading, so the reading's last line does not say the reload is
  // over; a SIGTSTP sent once that line is there does: the service's one
  // loop thread answers it ("Life waits for no man.") after the reload
  // returned.
  void Reload() {
    ++reloads_;
    service_.Signal(SIGHUP);
    for (int i = 0; i < 100 && Completions() <= reloads_; ++i) service_.WaitForLine("x", 50);
    ASSERT_GT(Completions(), reloads_) << "reload did not finish";
    service_.Signal(SIGTSTP);
    for (int i = 0; i < 100 && Count(kPaused) < reloads_; ++i) service_.WaitForLine("x", 50);
    ASSERT_EQ(Count(kPaused), reloads_) << "the reload did not return";
  }
  static constexpr const char kPaused[] = "Life waits for no man.";
  int Completions() { return Count("Network File Reading Complete."); }
  int Count(const std::string& text) {
    auto lines = service_.LogMessages();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
  }
  bool Logged(const std::string& text) { return Count(text) > 0; }

  ServiceProcess service_;
  int reloads_ = 0;
};

// Two networks: Main (with an administrator) and Side.
class ReloadTest : public ServiceReload {
 protected:
  void SetUp() override {
    main_port_ = ServiceProcess::FreePort();
    side_port_ = ServiceProcess::FreePort();
    service_.BindToLoopback();
    service_.AddNetwork("main.conf", "Main", main_port_, kAdmin);
    service_.AddNetwork("side.conf", "Side", side_port_);
    StartService();
  }

  uint16_t main_port_ = 0;
  uint16_t side_port_ = 0;
};

TEST_F(ReloadTest, MembersOfAnUnchangedNetworkKeepRelaying) {
  auto ann = Join(main_port_, "Main", "ann");
  auto bob = Join(main_port_, "Main", "bob");
  ASSERT_TRUE(ann && bob);
  Reload();
  ann->Send(4, "10,20,1,50,0,0");
  auto relayed = bob->ReceiveCommand(5);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(relayed->data, "ann|10,20,1,50,0,0");
  EXPECT_TRUE(Logged("Reloading Networks..."));
}

TEST_F(ReloadTest, ARemovedNetworksMembersAreToldAndEnded) {
  auto sam = Join(side_port_, "Side", "sam");
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(sam && ann);
  std::filesystem::remove(service_.NetworkFolder() / "side.conf");
  Reload();
  auto notice = sam->Receive();
  ASSERT_TRUE(notice);
  EXPECT_EQ(notice->command, 998);
  EXPECT_EQ(notice->data, "This network has been removed from the server.");
  auto bye = sam->Receive();
  ASSERT_TRUE(bye);
  EXPECT_EQ(bye->command, 999);
  EXPECT_EQ(bye->data, "BYE");
  EXPECT_TRUE(sam->WaitClosed());
  EXPECT_TRUE(Logged("Network Removed: Side"));
  // Its listener served nothing else and is closed; the other network is untouched.
  TestClient late;
  EXPECT_FALSE(late.Connect(side_port_) && late.ReceiveCommand(1, 1000));
  EXPECT_EQ(Ask(*ann, 999, "", 999), "BYE");
  EXPECT_FALSE(Join(main_port_, "Side", "again"));
}

TEST_F(ReloadTest, ABrokenFileLeavesItsNetworkAsItWas) {
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(ann);
  service_.WriteFile("brelvint-server/main.conf", "<brelvint><network name=\"Main\" pass");
  Reload();
  EXPECT_TRUE(Logged("Network Kept As It Was (its file could not be read): Main"));
  auto bob = Join(main_port_, "Main", "bob");
  ASSERT_TRUE(bob);
  bob->Send(4, "1,2,3,4,0,0");
  auto relayed = ann->ReceiveCommand(5);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(relayed->data, "bob|1,2,3,4,0,0");
}

// A network folder that cannot be listed (a file where it was) or has
// vanished tells nothing about the networks: every one stays, with one line
// naming the folder, and nothing is created in its place.
TEST_F(ReloadTest, AFolderThatCannotBeListedKeepsEveryNetwork) {
  auto sam = Join(side_port_, "Side", "sam");
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(sam && ann);
  const std::filesystem::path folder = service_.NetworkFolder();
  const std::filesystem::path away = folder.string() + ".away";
  const std::string line =
      "Network Folder Unreadable (every network stays as it is): " + folder.string() + ": ";
  int unreadable = 0;
  for (bool vanished : {false, true}) {
    SCOPED_TRACE(vanished ? "vanished" : "a file in its place");
    std::filesystem::rename(folder, away);
    if (!vanished) service_.WriteFile("brelvint-server", "not a folder\n");
    Reload();
    auto lines = service_.LogMessages();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.rfind(line, 0) == 0; }),
              ++unreadable);
    EXPECT_FALSE(Logged("Network Removed: Side"));
    EXPECT_EQ(std::filesystem::exists(folder), !vanished);
    EXPECT_EQ(Ask(*sam, 999, "", 999), "BYE");
    EXPECT_EQ(Ask(*ann, 999, "", 999), "BYE");
    EXPECT_TRUE(Join(side_port_, "Side", vanished ? "tom" : "tim"));
    std::filesystem::remove(folder);
    std::filesystem::rename(away, folder);
    Reload();
  }
  EXPECT_FALSE(Logged("Network Removed: Side"));
}

TEST_F(ReloadTest, AnAdministratorRemovedFromTheFileLosesTheRightsAtOnce) {
  auto boss = Join(main_port_, "Main", "boss");
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(boss && ann);
  EXPECT_EQ(Ask(*boss, 9, "", 9), "1");
  service_.AddNetwork("main.conf", "Main", main_port_,
                      "    <User Name=\"boss\" IsAdmin=\"0\" LastIP=\"127.0.0.1\" />\n");
  Reload();
  EXPECT_EQ(Ask(*boss, 9, "", 9), "0");
  boss->Send(10, "ann|bye");
  EXPECT_EQ(Ask(*boss, 999, "", 999), "BYE");
  EXPECT_EQ(Ask(*ann, 999, "", 999), "BYE");  // ann was not kicked
}

// Changes that apply to the next selection and login, while the members
// already there stay.
struct Change {
  const char* name;
  std::string password;
  int maxusers;
  bool new_login_ok;
};

class ReloadChangeTest : public ReloadTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ReloadChangeTest, AppliesToTheNextLoginAndKeepsTheMembers) {
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(ann);
  const Change& change = GetParam();
  service_.AddNetwork("main.conf", "Main", main_port_, kAdmin, change.password, change.maxusers);
  Reload();
  EXPECT_TRUE(Logged("Network Changed: Main"));
  EXPECT_EQ(static_cast<bool>(Join(main_port_, "Main", "bob", change.password)),
            change.new_login_ok);
  EXPECT_EQ(Ask(*ann, 999, "", 999), "BYE");
}

INSTANTIATE_TEST_SUITE_P(Changes, ReloadChangeTest,
                         ::testing::Values(Change{"NewPassword", "secret", 100, true},
                                           Change{"FullAlready", "pw", 1, false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReloadTest, ANewNetworkStartsListeningAndADisabledOneRefusesSelections) {
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(ann);
  uint16_t new_port = ServiceProcess::FreePort();
  service_.AddNetwork("new.conf", "Fresh", new_port);
  service_.WriteFile(
      "brelvint-server/main.conf",
      "<?xml version=\"1.0\"?>\n<brelvint>\n  <network name=\"Main\" password=\"pw\" "
      "maxusers=\"100\" enabled=\"0\" port=\"" +
          std::to_string(main_port_) + "\">\n" + kAdmin + "  </network>\n</brelvint>\n");
  Reload();
  EXPECT_TRUE(Logged("Network Added: Fresh"));
  EXPECT_TRUE(Join(new_port, "Fresh", "newcomer"));
  EXPECT_FALSE(Join(main_port_, "Main", "bob"));
  EXPECT_EQ(Ask(*ann, 999, "", 999), "BYE");
}

TEST_F(ReloadTest, ManyReloadsInARowLeaveOneConsistentState) {
  auto ann = Join(main_port_, "Main", "ann");
  auto bob = Join(main_port_, "Main", "bob");
  ASSERT_TRUE(ann && bob);
  for (int i = 0; i < 10; ++i) service_.Signal(SIGHUP);
  Reload();
  ann->Send(4, "5,6,7,8,1,0");
  auto relayed = bob->ReceiveCommand(5);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(relayed->data, "ann|5,6,7,8,1,0");
  auto carl = Join(main_port_, "Main", "carl");
  ASSERT_TRUE(carl);
  ASSERT_TRUE(service_.Stop());
}

// Main holds the administrator "boss" at 127.0.0.1 and "ann", whom the file
// last saw at 10.1.1.1: her login from 127.0.0.1 makes the service write her
// new address into the file, as logins do every day.
class ReloadLayoutTest : public ServiceReload {
 protected:
  static std::string MainFile(uint16_t port, const std::string& boss, const std::string& ann_ip,
                              const std::string& more = "") {
    return "<?xml version=\"1.0\"?>\n<brelvint>\n  <network name=\"Main\" password=\"pw\" "
           "maxusers=\"100\" enabled=\"1\" port=\"" +
           std::to_string(port) + "\">\n" + boss + "    <User Name=\"ann\" LastIP=\"" + ann_ip +
           "\" />\n" + more + "  </network>\n</brelvint>\n";
  }
  void StartMainAndSide() {
    main_port_ = ServiceProcess::FreePort();
    side_port_ = ServiceProcess::FreePort();
    service_.BindToLoopback();
    service_.WriteFile("brelvint-server/main.conf", MainFile(main_port_, kAdmin, "10.1.1.1"));
    service_.AddNetwork("side.conf", "Side", side_port_);
    StartService();
  }

  uint16_t main_port_ = 0;
  uint16_t side_port_ = 0;
};

TEST_F(ReloadLayoutTest, LoginsAloneChangeNoNetwork) {
  StartMainAndSide();
  auto ann = Join(main_port_, "Main", "ann");        // writes LastIP="127.0.0.1"
  auto newbie = Join(side_port_, "Side", "newbie");  // enrolled in side.conf
  ASSERT_TRUE(ann && newbie);
  ASSERT_TRUE(
      service_.WaitForFileText("brelvint-server/main.conf", "LastIP=\"127.0.0.1\" />\n  </"));
  Reload();
  Reload();
  EXPECT_EQ(Count("Network Changed: Main"), 0);
  EXPECT_EQ(Count("Network Changed: Side"), 0);
  // An operator's edit after those logins is still a change.
  service_.WriteFile("brelvint-server/main.conf",
                     MainFile(main_port_, kAdmin, "127.0.0.1", "    <User Name=\"zed\" />\n"));
  Reload();
  EXPECT_EQ(Count("Network Changed: Main"), 1);
  EXPECT_EQ(Count("Network Changed: Side"), 0);
}

// What the administrator's rights are after a reload, by what the operator
// did to his element (or to nothing) after ordinary logins.
struct AdminEdit {
  const char* name;
  bool edit;         // false: the file is left as the logins wrote it
  std::string boss;  // boss's element in the edited file
  bool keeps_rights;
};

void PrintTo(const AdminEdit& edit, std::ostream* out) { *out << edit.name; }

class ReloadAdminTest : public ReloadLayoutTest, public ::testing::WithParamInterface<AdminEdit> {};

TEST_P(ReloadAdminTest, RightsFollowTheFileAtOnce) {
  StartMainAndSide();
  auto boss = Join(main_port_, "Main", "boss");
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(boss && ann);
  ASSERT_EQ(Ask(*boss, 9, "", 9), "1");
  const AdminEdit& edit = GetParam();
  if (edit.edit) {
    service_.WriteFile("brelvint-server/main.conf",
                       MainFile(main_port_, edit.boss, "127.0.0.1", "    <User Name=\"zed\" />\n"));
  }
  Reload();
  EXPECT_EQ(Ask(*boss, 9, "", 9), edit.keeps_rights ? "1" : "0");
  boss->Send(10, "ann|out");
  if (edit.keeps_rights) {
    auto kicked = ann->ReceiveCommand(996);
    ASSERT_TRUE(kicked);
    EXPECT_EQ(kicked->data, "out");
  } else {
    EXPECT_EQ(Ask(*ann, 999, "", 999), "BYE");  // not kicked
  }
  EXPECT_EQ(Ask(*boss, 999, "", 999), "BYE");
}

INSTANTIATE_TEST_SUITE_P(
    Edits, ReloadAdminTest,
    ::testing::Values(AdminEdit{"NothingEdited", false, "", true},
                      AdminEdit{"AnotherUserAdded", true, kAdmin, true},
                      AdminEdit{"FlagRemoved", true,
                                "    <User Name=\"boss\" IsAdmin=\"0\" LastIP=\"127.0.0.1\" />\n",
                                false},
                      AdminEdit{"AddressChanged", true,
                                "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.9\" />\n",
                                false},
                      AdminEdit{"ElementRemoved", true, "", false}),
    [](const auto& test) { return std::string(test.param.name); });

// Two files name one network: the first in byte order defines it, at start
// and at every reload; the other is logged and never applied.
TEST_F(ReloadLayoutTest, TheFirstOfTwoFilesNamingOneNetworkDefinesIt) {
  uint16_t first_port = ServiceProcess::FreePort();
  uint16_t second_port = ServiceProcess::FreePort();
  service_.BindToLoopback();
  service_.AddNetwork("a.conf", "Twin", first_port, kAdmin);
  service_.AddNetwork("b.conf", "TWIN", second_port,
                      "    <User Name=\"boss\" IsAdmin=\"0\" LastIP=\"127.0.0.1\" />\n", "other");
  const std::string second_text = service_.ReadFile("brelvint-server/b.conf");
  StartService();
  const std::string skipped = "Network Skipped (its name is already defined by a.conf): b.conf";
  EXPECT_EQ(Count(skipped), 1);
  auto boss = Join(first_port, "Twin", "boss");
  ASSERT_TRUE(boss);
  ASSERT_EQ(Ask(*boss, 9, "", 9), "1");
  Reload();
  EXPECT_EQ(Count(skipped), 2);
  EXPECT_EQ(Count("Network Changed: TWIN"), 0);
  EXPECT_EQ(Ask(*boss, 9, "", 9), "1");
  EXPECT_FALSE(Join(first_port, "Twin", "carl", "other"));
  auto dora = Join(first_port, "Twin", "dora", "pw");
  ASSERT_TRUE(dora);
  EXPECT_TRUE(service_.WaitForFileText("brelvint-server/a.conf", "Name=\"dora\""));
  EXPECT_EQ(service_.ReadFile("brelvint-server/b.conf"), second_text);
  TestClient second;  // the skipped file's port is not served
  EXPECT_FALSE(second.Connect(second_port) && second.ReceiveCommand(1, 1000));
  // While the first file cannot be read, its network stays as it was: the
  // second file still does not take over.
  service_.WriteFile("brelvint-server/a.conf", "<brelvint><network name=\"Twin\"");
  Reload();
  EXPECT_TRUE(Logged("Network Kept As It Was (its file could not be read): Twin"));
  EXPECT_EQ(Count(skipped), 3);
  EXPECT_FALSE(Join(first_port, "Twin", "erin", "other"));
  EXPECT_TRUE(Join(first_port, "Twin", "erin", "pw"));
  EXPECT_EQ(Ask(*boss, 9, "", 9), "1");
}

// Two networks on one port: the second's own listener could not bind, so
// its members come in through the first's. Removing the first network must
// not shut them out.
TEST_F(ReloadLayoutTest, ASharedPortKeepsServingTheNetworkLeftOnIt) {
  uint16_t port = ServiceProcess::FreePort();
  service_.BindToLoopback();
  service_.AddNetwork("a.conf", "Alpha", port);
  service_.AddNetwork("b.conf", "Beta", port);
  StartService();
  auto bob = Join(port, "Beta", "bob");
  auto ann = Join(port, "Alpha", "ann");
  ASSERT_TRUE(bob && ann);
  std::filesystem::remove(service_.NetworkFolder() / "a.conf");
  Reload();
  ASSERT_TRUE(Logged("Network Removed: Alpha"));
  EXPECT_TRUE(ann->WaitClosed());
  auto carl = Join(port, "Beta", "carl");
  ASSERT_TRUE(carl);
  bob->Send(4, "1,2,3,4,0,0");
  auto relayed = carl->ReceiveCommand(5);
  ASSERT_TRUE(relayed);
  EXPECT_EQ(relayed->data, "bob|1,2,3,4,0,0");
  // Removing the last network on the port closes it.
  std::filesystem::remove(service_.NetworkFolder() / "b.conf");
  Reload();
  EXPECT_TRUE(carl->WaitClosed());
  TestClient late;
  EXPECT_FALSE(late.Connect(port) && late.ReceiveCommand(1, 1000));
}

}  // namespace
}  // namespace brelvint
