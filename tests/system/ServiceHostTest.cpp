#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"

namespace brelvint {
namespace {

using Messages = std::vector<std::string>;

std::map<std::string, std::string> Settings(const ServiceProcess& service) {
  pugi::xml_document document;
  std::map<std::string, std::string> pairs;
  if (!document.load_string(service.ReadFile("brelvint.conf").c_str())) return pairs;
  for (auto setting : document.child("settings").children("setting")) {
    pairs[setting.attribute("namestring").value()] = setting.attribute("valuestring").value();
  }
  return pairs;
}

TEST(ServiceHostTest, FirstStartLogsInOrderCreatesSettingsAndStopsCleanly) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  ASSERT_TRUE(service.Stop());
  Messages messages = service.LogMessages();
  // The status page's line follows "Listening..."; whether it listens or
  // finds the default port taken by a test running beside this one, it
  // says so on one line.
  ASSERT_EQ(messages.size(), 10u);
  EXPECT_EQ(messages[8].rfind("Status page ", 0), 0u) << messages[8];
  messages.erase(messages.begin() + 8);
  // Which socket back end runs depends on the kernel and the environment.
  EXPECT_EQ(messages[5].rfind("Socket back end: ", 0), 0u) << messages[5];
  messages.erase(messages.begin() + 5);
  EXPECT_EQ(
      messages,
      (Messages{"Loading Settings...", "Loading Networks...", "Reading Network Files...",
                "Network File Reading Complete.", "Initializing Sockets...",
                "Control socket listening on " + (service.Folder() / "brelvint.sock").string(),
                "Listening...", "Received quit signal.  Exiting."}));
  // No network asked for an interface, so only "Port" is stored.
  EXPECT_EQ(Settings(service), (std::map<std::string, std::string>{{"Port", "12000"}}));
  EXPECT_TRUE(std::filesystem::is_directory(service.NetworkFolder()));
}

TEST(ServiceHostTest, StandardOutputCarriesTheLogFileLines) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  ASSERT_TRUE(service.Stop());
  std::ifstream in(service.LogFile());
  std::vector<std::string> file_lines;
  for (std::string line; std::getline(in, line);) file_lines.push_back(line);
  EXPECT_EQ(service.OutputLines(), file_lines);
  ASSERT_FALSE(file_lines.empty());
  EXPECT_EQ(file_lines[0].front(), '[');
  EXPECT_NE(file_lines[0].find("] Loading Settings..."), std::string::npos);
}

TEST(ServiceHostTest, EachStartBeginsAFreshLogAndKeepsUnknownSettings) {
  ServiceProcess service;
  service.WriteFile("brelvint.conf",
                    "<settings><setting namestring=\"Colour\" valuestring=\"teal\"/></settings>");
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  ASSERT_TRUE(service.Stop());
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  ASSERT_TRUE(service.Stop());
  Messages messages = service.LogMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "Loading Settings...");
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Loading Settings..."), 1);
  EXPECT_EQ(Settings(service), (std::map<std::string, std::string>{{"Colour", "teal"}}));
}

// One unclosed element must not cost the operator his keys: the file is
// left byte for byte, the reason is logged, and nothing listens.
TEST(ServiceHostTest, MalformedSettingsFileIsLeftAloneAndTheStartFails) {
  ServiceProcess service;
  const std::string broken =
      "<?xml version=\"1.0\"?>\n<settings>\n"
      "  <setting namestring=\"StatusToken\" valuestring=\"t0ken\" />\n"
      "  <setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\"\n</settings>\n";
  service.WriteFile("brelvint.conf", broken);
  uint16_t port = ServiceProcess::FreePort();
  service.AddNetwork("main.conf", "Main", port);
  ASSERT_TRUE(service.Start());
  auto status = service.WaitExit();
  ASSERT_TRUE(status);
  EXPECT_NE(*status, 0);
  EXPECT_EQ(service.ReadFile("brelvint.conf"), broken);
  Messages messages = service.LogMessages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "Listening..."), 0);
  const std::string expected = (service.Folder() / "brelvint.conf").string() +
                               ": Error parsing start element tag at line 5, column 1";
  EXPECT_EQ(std::count(messages.begin(), messages.end(), expected), 1) << messages.back();
}

TEST(ServiceHostTest, PauseAndResumeAreLoggedAndServingGoesOn) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  service.Signal(SIGTSTP);
  ASSERT_TRUE(service.WaitForLine("Life waits for no man."));
  service.Signal(SIGCONT);
  ASSERT_TRUE(service.WaitForLine("CHARGE!"));
  ASSERT_TRUE(service.Stop());
  EXPECT_EQ(service.LogMessages().back(), "Received quit signal.  Exiting.");
}

TEST(ServiceHostTest, InterruptStopsLikeTerminate) {
  ServiceProcess service;
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Listening..."));
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(), 0);
}

TEST(ServiceHostTest, UnwritableLogIsAClearStartupFailure) {
  ServiceProcess service;
  std::filesystem::remove_all(service.Home());
  service.WriteFile("home", "a file where the home folder should be");
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(service.WaitExit(), 1);
  std::string error = service.ErrorOutput();
  EXPECT_NE(error.find("com.brelvint.log"), std::string::npos) << error;
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
}

}  // namespace
}  // namespace brelvint
