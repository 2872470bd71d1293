#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

const char kAdmin[] = "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n";

// A running service with two networks, reloaded with SIGHUP after its files
// change underneath it.
class ReloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    main_port_ = ServiceProcess::FreePort();
    side_port_ = ServiceProcess::FreePort();
    service_.BindToLoopback();
    service_.AddNetwork("main.conf", "Main", main_port_, kAdmin);
    service_.AddNetwork("side.conf", "Side", side_port_);
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
  // Sends SIGHUP and waits for the reload to finish.
  void Reload() {
    ++reloads_;
    service_.Signal(SIGHUP);
    for (int i = 0; i < 100 && Completions() <= reloads_; ++i) service_.WaitForLine("x", 50);
    ASSERT_GT(Completions(), reloads_) << "reload did not finish";
  }
  int Completions() {
    int count = 0;
    for (const auto& line : service_.LogMessages()) count += line == "Network File Reading Complete.";
    return count;
  }
  bool Logged(const std::string& text) {
    for (const auto& line : service_.LogMessages()) {
      if (line == text) return true;
    }
    return false;
  }

  ServiceProcess service_;
  uint16_t main_port_ = 0;
  uint16_t side_port_ = 0;
  int reloads_ = 0;
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

INSTANTIATE_TEST_SUITE_P(
    Changes, ReloadChangeTest,
    ::testing::Values(Change{"NewPassword", "secret", 100, true},
                      Change{"FullAlready", "pw", 1, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(ReloadTest, ANewNetworkStartsListeningAndADisabledOneRefusesSelections) {
  auto ann = Join(main_port_, "Main", "ann");
  ASSERT_TRUE(ann);
  uint16_t new_port = ServiceProcess::FreePort();
  service_.AddNetwork("new.conf", "Fresh", new_port);
  service_.WriteFile("brelvint-server/main.conf",
                     "<?xml version=\"1.0\"?>\n<brelvint>\n  <network name=\"Main\" password=\"pw\" "
                     "maxusers=\"100\" enabled=\"0\" port=\"" + std::to_string(main_port_) +
                     "\">\n" + kAdmin + "  </network>\n</brelvint>\n");
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

}  // namespace
}  // namespace brelvint
