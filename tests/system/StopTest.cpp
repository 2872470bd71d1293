#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

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
  constexpr int kClients = 400;
  constexpr int kBusy = 150;
  ServiceProcess service;
  uint16_t port = ServiceProcess::FreePort();
  service.BindToLoopback();
  service.AddNetwork("main.conf", "Main", port, "", "pw", kClients + kBusy + 10);
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
  // Members already in keep the server busy relaying while the logins arrive.
  std::vector<std::unique_ptr<TestClient>> busy;
  for (int i = 0; i < kBusy; ++i) {
    auto client = std::make_unique<TestClient>();
    ASSERT_TRUE(client->Connect(port));
    ASSERT_TRUE(client->ReceiveCommand(1, 5000));
    ASSERT_TRUE(client->Login("Main", "pw", "busy" + std::to_string(i)));
    busy.push_back(std::move(client));
  }
  std::string reports;
  for (int i = 0; i < 60; ++i) reports += Packet(4, "100,200,1,50,0,0");
  for (auto& client : busy) client->SendRaw(reports);
  for (int i = 0; i < kClients; ++i) {
    clients[i]->SendRaw(Packet(1, "Main") + Packet(2, digest) +
                        Packet(3, "user" + std::to_string(i)));
  }
  // The stop lands while the burst is being answered: right after the
  // first of its logins is logged.
  const std::string prefix = "127.0.0.1: User Logged In (";
  auto burst_started = [&] {
    for (const std::string& line : service.LogMessages()) {
      if (line.rfind(prefix + "user", 0) == 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 5000 && !burst_started(); ++i) usleep(1000);
  service.Signal(SIGTERM);
  ASSERT_EQ(service.WaitExit(10000), 0);

  std::set<std::string> answered;
  for (int i = 0; i < kClients; ++i) {
    auto reply = clients[i]->ReceiveCommand(4, 1000);
    if (reply && reply->data == "OK") answered.insert("user" + std::to_string(i));
  }
  std::string file = service.ReadFile("brelvint-server/main.conf");
  int logged = 0;
  for (const std::string& line : service.LogMessages()) {
    if (line.rfind(prefix, 0) != 0) continue;
    std::string name = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (name.rfind("user", 0) != 0) continue;  // the busy members logged in before the burst
    ++logged;
    EXPECT_NE(file.find("Name=\"" + name + "\""), std::string::npos) << name << " not in the file";
    EXPECT_TRUE(answered.count(name)) << name << " got no 4 OK";
  }
  EXPECT_GT(logged, 0);
  EXPECT_EQ(service.LogMessages().back(), "Received quit signal.  Exiting.");
}

// A backup made by copying brelvint.db alone after a clean stop holds every
// ban: the stop moves the write-ahead log into the file and closes it.
TEST(StopTest, ACopyOfTheDatabaseAloneHoldsTheBansAfterAStop) {
  ServiceProcess service;
  service.WriteFile(
      "brelvint.conf",
      "<settings><setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" "
      "/><setting namestring=\"StatusAddress\" valuestring=\"\" /></settings>\n");
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("main.conf", "Main", port,
                     "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n");
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  TestClient boss, eve;
  ASSERT_TRUE(boss.Connect(port));
  ASSERT_TRUE(boss.Login("Main", "pw", "boss"));
  ASSERT_TRUE(eve.Connect(port, "127.0.0.2"));
  ASSERT_TRUE(eve.Login("Main", "pw", "eve"));
  boss.Send(11, "eve|cheating");
  ASSERT_TRUE(service.WaitForLine(" Banned: cheating"));
  ASSERT_TRUE(service.Stop());

  const auto folder = service.Folder();
  EXPECT_FALSE(std::filesystem::exists(folder / "brelvint.db-wal"));
  std::filesystem::create_directories(folder / "backup");
  std::filesystem::copy_file(folder / "brelvint.db", folder / "backup" / "brelvint.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((folder / "backup" / "brelvint.db").c_str(), &db, SQLITE_OPEN_READONLY,
                            nullptr),
            SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db, "SELECT address, reason, network FROM bans", -1, &query, nullptr),
      SQLITE_OK)
      << sqlite3_errmsg(db);
  std::vector<std::string> rows;
  while (sqlite3_step(query) == SQLITE_ROW) {
    std::string row;
    for (int column = 0; column < 3; ++column) {
      row += reinterpret_cast<const char*>(sqlite3_column_text(query, column));
      row += column < 2 ? "|" : "";
    }
    rows.push_back(row);
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  EXPECT_EQ(rows, (std::vector<std::string>{"127.0.0.2|cheating|Main"}));
}

}  // namespace
}  // namespace brelvint
