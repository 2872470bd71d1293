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

TEST(ServerNetworksTest, NetworkWithoutFileRecordsNothing) {
  ServerNetworks network;
  network.AddUserToNetwork("carl", "10.0.0.9");
  EXPECT_FALSE(network.HasPendingEdits());
  EXPECT_TRUE(network.Users.empty());
  NetworkFileWriter writer;
  network.CommitEdits(writer);
  EXPECT_EQ(writer.PendingLogins(), 0u);
}

}  // namespace
}  // namespace brelvint
