#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

long CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

TEST(ListenerTest, SecondListenerOnATakenPortFailsOnceAndTheFirstServesBoth) {
  ServiceProcess service;
  service.BindToLoopback();
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("a.conf", "Alpha", port);
  service.AddNetwork("b.conf", "Beta", port);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));

  TestClient alpha, beta;
  ASSERT_TRUE(alpha.Connect(port));
  EXPECT_TRUE(alpha.Login("Alpha", "pw", "anna"));
  ASSERT_TRUE(beta.Connect(port, "127.0.0.2"));
  EXPECT_TRUE(beta.Login("beta", "pw", "bob"));
  ASSERT_TRUE(service.Stop());

  auto messages = service.LogMessages();
  EXPECT_EQ(CountStartingWith(messages, "Server Error: "), 1);
  const std::string where = "127.0.0.1:" + std::to_string(port);
  // Each listener says where it listens, or why and where it could not.
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Listening on " + where + " for Alpha"),
            messages.end());
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Server Error: 98 (Address already in use) on " + where + " for Beta"),
            messages.end());
  EXPECT_EQ(CountStartingWith(messages, "Listening on "), 1);
  EXPECT_EQ(messages.back(), "Received quit signal.  Exiting.");
}

// Every listener failing at start leaves nothing to serve: the service says
// so and ends with status 1, so a service manager sees the failure.
TEST(ListenerTest, StartWhereNoListenerBindsExitsWithStatusOne) {
  ServiceProcess holder;  // a live server holds the port
  holder.WriteFile(
      "brelvint.conf",
      "<settings><setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" "
      "/><setting namestring=\"StatusAddress\" valuestring=\"\" /></settings>\n");
  uint16_t port = ServiceProcess::FreePort();
  holder.AddNetwork("a.conf", "Alpha", port);
  ASSERT_TRUE(holder.Start());
  ASSERT_TRUE(holder.WaitForLine("Listening..."));

  ServiceProcess service;
  service.BindToLoopback();
  service.AddNetwork("b.conf", "Beta", port);
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(service.WaitExit(), 1);
  auto messages = service.LogMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(),
            "No network could be served: every listener failed to start. Exiting.");
  EXPECT_EQ(CountStartingWith(messages, "Server Error: 98 (Address already in use) on 127.0.0.1:"),
            1);
  EXPECT_EQ(std::find(messages.begin(), messages.end(), "Listening..."), messages.end());
  ASSERT_TRUE(holder.Stop());
}

TEST(ListenerTest, FirstStartWithANetworkRecordsTheInterface) {
  ServiceProcess service;
  service.AddNetwork("a.conf", "Alpha", ServiceProcess::FreePort());
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  ASSERT_TRUE(service.Stop());
  std::string settings = service.ReadFile("brelvint.conf");
  EXPECT_NE(settings.find("namestring=\"AttachedNIC\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("namestring=\"Port\" valuestring=\"12000\""), std::string::npos);
}

TEST(ListenerTest, UnusableBanDatabaseIsAClearStartupFailure) {
  ServiceProcess service;
  std::filesystem::create_directories(service.Folder() / "brelvint.db");
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(service.WaitExit(), 1);
  std::string error = service.ErrorOutput();
  EXPECT_NE(error.find("brelvint.db"), std::string::npos) << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
}

TEST(ListenerTest, ProbeShowsASecondPlayerArriving) {
  ServiceProcess service;
  service.BindToLoopback();
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("a.conf", "Alpha", port);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  TestClient watcher;
  ASSERT_TRUE(watcher.Connect(port));
  ASSERT_TRUE(watcher.Login("Alpha", "pw", "watcher"));
  std::string command = std::string(BRELVINT_PROBE) + " --port " + std::to_string(port) +
                        " --network Alpha --password pw --user bob --position 1,2,3,4,1,0" +
                        " --chat hi --bye --seconds 5 > " + (service.Folder() / "probe.txt").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  auto position = watcher.ReceiveCommand(5);
  ASSERT_TRUE(position);
  EXPECT_EQ(position->data, "bob|1,2,3,4,1,0");
  auto chat = watcher.ReceiveCommand(7);
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->data, std::string("bob\0hi", 6));
  std::string printed = service.ReadFile("probe.txt");
  EXPECT_NE(printed.find("<- 4 USERNAME OK"), std::string::npos) << printed;
  EXPECT_NE(printed.find("<- 999 BYE BYE"), std::string::npos) << printed;
  ASSERT_TRUE(service.Stop());
}

}  // namespace
}  // namespace brelvint
