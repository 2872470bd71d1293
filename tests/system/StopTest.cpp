#include <signal.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/MD5.h"
#include "protocol/PacketFramer.h"
#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

std::string Packet(int32_t command, const std::string& data) {
  return PacketFramer::CreatePacket(command, data);
}

// A stop that arrives in the middle of a burst of logins: every login the
// log reports must be in the network file and must have had its 4 "OK".
TEST(StopTest, ALoginTheLogReportsIsWrittenAndAnswered) {
  constexpr int kClients = 600;
  ServiceProcess service;
  uint16_t port = ServiceProcess::FreePort();
  service.BindToLoopback();
  service.AddNetwork("main.conf", "Main", port, "", "pw", kClients + 10);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));

  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(port));
    clients.push_back(std::move(client));
  }
  for (auto& client : clients) ASSERT_TRUE(client->ReceiveCommand(1, 5000));
  std::string digest = MD5::Digest("pw");
  for (int i = 0; i < kClients; ++i) {
    clients[i]->SendRaw(Packet(1, "Main") + Packet(2, digest) +
                        Packet(3, "user" + std::to_string(i)));
  }
  service.Signal(SIGTERM);
  ASSERT_EQ(service.WaitExit(10000), 0);

  std::set<std::string> answered;
  for (int i = 0; i < kClients; ++i) {
    auto reply = clients[i]->ReceiveCommand(4, 1000);
    if (reply && reply->data == "OK") answered.insert("user" + std::to_string(i));
  }
  std::string file = service.ReadFile("brelvint-server/main.conf");
  const std::string prefix = "127.0.0.1: User Logged In (";
  int logged = 0;
  for (const std::string& line : service.LogMessages()) {
    if (line.rfind(prefix, 0) != 0) continue;
    std::string name = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    ++logged;
    EXPECT_NE(file.find("Name=\"" + name + "\""), std::string::npos) << name << " not in the file";
    EXPECT_TRUE(answered.count(name)) << name << " got no 4 OK";
  }
  EXPECT_GT(logged, 0);
  EXPECT_EQ(service.LogMessages().back(), "Received quit signal.  Exiting.");
}

}  // namespace
}  // namespace brelvint
