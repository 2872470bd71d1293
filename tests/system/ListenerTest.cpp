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
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Server Error: 98"), messages.end());
  EXPECT_EQ(messages.back(), "Received quit signal.  Exiting.");
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
