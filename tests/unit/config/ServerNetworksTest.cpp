#include <gtest/gtest.h>

#include "config/NetworkFileWriter.h"
#include "config/ServerNetworks.h"

namespace brelvint {
namespace {

MapperUser* AddUser(ServerNetworks* network, const std::string& name, const std::string& address) {
  network->Users.push_back(std::make_unique<MapperUser>());
  MapperUser* user = network->Users.back().get();
  user->Name = name;
  user->LastIP = address;
  network->IndexUser(user);
  return user;
}

TEST(ServerNetworksTest, FindUserMatchesNameAndAddressIgnoringCase) {
  ServerNetworks network;
  auto bob_home = AddUser(&network, "Bob", "fe80::a");
  auto bob_work = AddUser(&network, "bob", "10.0.0.2");
  AddUser(&network, "BOB", "10.0.0.2");  // the same name and address again
  AddUser(&network, "Bobby", "10.0.0.3");

  EXPECT_EQ(network.FindUser("bOB", "FE80::A"), bob_home);
  EXPECT_EQ(network.FindUser("BOB", "10.0.0.2"), bob_work);  // the first in Users order
  EXPECT_EQ(network.FindUser("bob", "10.0.0.3"), nullptr);
  EXPECT_EQ(network.FindUser("Bo", "fe80::a"), nullptr);
  EXPECT_EQ(network.FindUser("", ""), nullptr);
}

// Records indexed one at a time (enrolments) are found like those of the
// file, before and after the index takes them in by a merge, and a name's
// records are still met in Users order.
TEST(ServerNetworksTest, RecordsIndexedOneByOneAreFoundInUsersOrder) {
  ServerNetworks network;
  for (int i = 0; i < 3000; i += 2) AddUser(&network, "u" + std::to_string(i), "10.0.0.1");
  network.IndexAllUsers();
  std::vector<MapperUser*> carls;
  for (int i = 1; i < 3000; i += 2) {
    AddUser(&network, "u" + std::to_string(i), "10.0.0.2");
    if (i % 500 == 1)
      carls.push_back(AddUser(&network, i % 1000 == 1 ? "CARL" : "carl", "10.9.9.9"));
  }
  for (int i = 0; i < 3000; ++i) {
    std::string name = "U" + std::to_string(i);
    MapperUser* user = network.FindUser(name, i % 2 == 0 ? "10.0.0.1" : "10.0.0.2");
    ASSERT_NE(user, nullptr) << name;
    EXPECT_EQ(user->Name, "u" + std::to_string(i));
    EXPECT_EQ(network.FindUser(name, "10.0.0.3"), nullptr);
  }
  ASSERT_EQ(carls.size(), 6u);
  EXPECT_EQ(network.FindUser("Carl", "10.9.9.9"), carls.front());
  // A full network still takes a name it holds, in any letter case.
  EXPECT_TRUE(network.MayEnrol("cARL", static_cast<int64_t>(network.Users.size())));
}

TEST(ServerNetworksTest, NetworkWithoutFileRecordsNothing) {
  ServerNetworks network;
  network.AddUserToNetwork("carl", "10.0.0.9");
  EXPECT_FALSE(network.HasPendingEdits());
  EXPECT_TRUE(network.Users.empty());
  NetworkFileWriter writer;
  network.CommitEdits(writer);
  EXPECT_EQ(writer.PendingLogins(), 0u);
}

// A reread of the file taken as it will be once the writer's logins land
// (ApplyLogins) defines the same network as the records that took those
// logins at once: known names move to their new address (administrators'
// elements keep theirs), new names are enrolled in login order.
TEST(ServerNetworksTest, AReadWithThePendingLoginsAppliedIsTheSameNetwork) {
  auto define = [](ServerNetworks* network) {
    network->NetworkName = "Main";
    network->Path = "/srv/main.conf";
    AddUser(network, "ann", "10.0.0.1");
    MapperUser* boss = AddUser(network, "Boss", "10.0.0.9");
    boss->IsAdmin = true;
    network->Admins.push_back(boss);
  };
  ServerNetworks live;
  define(&live);
  live.AddUserToNetwork("ANN", "10.0.0.2");
  live.AddUserToNetwork("carl", "10.0.0.3");
  live.AddUserToNetwork("boss", "10.0.0.4");
  live.AddUserToNetwork("dee", "10.0.0.5");

  ServerNetworks reread;  // the file, none of the logins written yet
  define(&reread);
  EXPECT_FALSE(live.SameDefinition(reread));
  reread.ApplyLogins(
      {{"ANN", "10.0.0.2"}, {"carl", "10.0.0.3"}, {"boss", "10.0.0.4"}, {"dee", "10.0.0.5"}});
  EXPECT_TRUE(live.SameDefinition(reread));
  ASSERT_EQ(reread.Users.size(), 4u);
  EXPECT_EQ(reread.Users[0]->LastIP, "10.0.0.2");
  EXPECT_EQ(reread.Users[1]->LastIP, "10.0.0.9");  // an administrator's is the operator's
  EXPECT_EQ(reread.Users[2]->Name, "carl");
  EXPECT_EQ(reread.FindUser("DEE", "10.0.0.5"), reread.Users[3].get());
}

}  // namespace
}  // namespace brelvint
