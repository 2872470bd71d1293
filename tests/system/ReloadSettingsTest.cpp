#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"
#include "support/TestHttpClient.h"
#include "support/TestHttpServer.h"

namespace brelvint {
namespace {

std::string Setting(const std::string& key, const std::string& value) {
  return "  <setting namestring=\"" + key + "\" valuestring=\"" + value + "\" />\n";
}

std::string SettingsFile(const std::string& settings) {
  return "<?xml version=\"1.0\"?>\n<!-- kept by hand -->\n<settings>\n" + settings +
         "</settings>\n";
}

// True once the log holds `count` lines equal to `text`; false after 5 s.
bool WaitForLines(ServiceProcess& service, const std::string& text, long count) {
  for (int i = 0; i < 100; ++i) {
    auto lines = service.LogMessages();
    if (std::count(lines.begin(), lines.end(), text) >= count) return true;
    service.WaitForLine("x", 50);
  }
  return false;
}

// A running service whose settings file the operator edits before SIGHUP. A
// reload reads the settings; it never writes them.
class ReloadSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = ServiceProcess::FreePort();
    service_.AddNetwork("main.conf", "Main", port_);
    settings_ =
        SettingsFile(Setting("AttachedNIC", "00:00:00:00:00:00") + Setting("StatusAddress", "") +
                     Setting("LocationService", lookups_.BaseUrl()));
    service_.WriteFile("brelvint.conf", settings_);
    ASSERT_TRUE(service_.Start());
    // The start saves the settings after "Listening..." and before this line.
    ASSERT_TRUE(service_.WaitForLine("Status page off: StatusAddress is empty."));
    settings_ = service_.ReadFile("brelvint.conf");
  }
  void Reload() {
    service_.Signal(SIGHUP);
    ASSERT_TRUE(WaitForCount("Network File Reading Complete.", 2));
  }
  bool WaitForCount(const std::string& text, long count) {
    return WaitForLines(service_, text, count);
  }
  // The log lines that name `file` of the service's folder.
  std::vector<std::string> LinesAbout(const std::string& file) {
    const std::string path = (service_.Folder() / file).string();
    std::vector<std::string> found;
    for (const auto& line : service_.LogMessages()) {
      if (line.rfind(path, 0) == 0) found.push_back(line);
    }
    return found;
  }
  // Connects and waits for the greeting, which follows the location lookup
  // when one is configured.
  void ConnectOnce() {
    TestClient client;
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.ReceiveCommand(1));
  }

  ServiceProcess service_;
  TestHttpServer lookups_;
  uint16_t port_ = 0;
  std::string settings_;
};

TEST_F(ReloadSettingsTest, AnEditedInterfaceStaysInTheFileForTheNextStart) {
  const std::string edited =
      SettingsFile(Setting("AttachedNIC", "02:00:00:00:00:99") + Setting("StatusAddress", "") +
                   Setting("LocationService", lookups_.BaseUrl()));
  service_.WriteFile("brelvint.conf", edited);
  Reload();
  EXPECT_TRUE(
      WaitForCount("AttachedNIC changed: listeners keep their interface until the next start.", 1));
  EXPECT_EQ(service_.ReadFile("brelvint.conf"), edited);
  // The listeners kept their interface.
  ConnectOnce();
}

// A settings file deleted under a running server keeps every setting in
// force: read as the defaults, it would move the endpoint to a port nobody
// chose and drop the lookup service. Only a start creates the file.
TEST_F(ReloadSettingsTest, ADeletedFileKeepsEverySettingInForce) {
  uint16_t status_port = ServiceProcess::FreePort();
  const std::string address = "127.0.0.1:" + std::to_string(status_port);
  service_.WriteFile("brelvint.conf", SettingsFile(Setting("AttachedNIC", "00:00:00:00:00:00") +
                                                   Setting("StatusAddress", address) +
                                                   Setting("LocationService", lookups_.BaseUrl())));
  Reload();
  ASSERT_TRUE(WaitForCount("Status page listening on http://" + address + "/", 1));
  ConnectOnce();
  size_t lookups_before = lookups_.Targets().size();
  std::filesystem::remove(service_.Folder() / "brelvint.conf");
  service_.Signal(SIGHUP);
  ASSERT_TRUE(WaitForCount("Network File Reading Complete.", 3));
  EXPECT_TRUE(
      WaitForCount("Settings File Missing (every setting stays in force; a start creates "
                   "it): " +
                       (service_.Folder() / "brelvint.conf").string(),
                   1));
  EXPECT_FALSE(std::filesystem::exists(service_.Folder() / "brelvint.conf"));
  auto page = TestHttpClient::Get(status_port, "/metrics");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->Status, 200);
  ConnectOnce();
  EXPECT_GT(lookups_.Targets().size(), lookups_before);
  ASSERT_TRUE(service_.Stop());
}

TEST_F(ReloadSettingsTest, AFileThatCannotBeParsedChangesNothing) {
  ConnectOnce();
  size_t lookups_before = lookups_.Targets().size();
  ASSERT_GT(lookups_before, 0u);
  const std::string broken = "<settings>\n  <setting namestring=\"AttachedNIC\"\n";
  service_.WriteFile("brelvint.conf", broken);
  Reload();
  const std::string expected = (service_.Folder() / "brelvint.conf").string() +
                               ": Error parsing start element tag at line 2, column 36";
  EXPECT_EQ(LinesAbout("brelvint.conf"), std::vector<std::string>{expected});
  EXPECT_EQ(service_.ReadFile("brelvint.conf"), broken);
  // The lookup service is still in force for new connections.
  ConnectOnce();
  EXPECT_GT(lookups_.Targets().size(), lookups_before);
  // Mended, the file is read again at the next reload; still nothing is written.
  service_.WriteFile("brelvint.conf", settings_);
  service_.Signal(SIGHUP);
  ASSERT_TRUE(WaitForCount("Network File Reading Complete.", 3));
  EXPECT_EQ(service_.ReadFile("brelvint.conf"), settings_);
  ASSERT_TRUE(service_.Stop());
}

// The packaged settings file, its endpoint turned off so that it is this
// test's alone, keeps every byte through a start, a reload and a stop:
// nothing in it needs adding, so the server does not rewrite it.
TEST(PackagedSettingsTest, CommentsSurviveAStartAReloadAndAStop) {
  std::ifstream in(std::string(BRELVINT_SOURCE_DIR) + "/examples/brelvint.conf");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string shared = "valuestring=\"127.0.0.1:12080\"";
  ASSERT_NE(text.find(shared), std::string::npos);
  text.replace(text.find(shared), shared.size(), "valuestring=\"\"");
  ServiceProcess service;
  service.AddNetwork("main.conf", "Main", ServiceProcess::FreePort());
  service.WriteFile("brelvint.conf", text);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Status page off: StatusAddress is empty."));
  EXPECT_EQ(service.ReadFile("brelvint.conf"), text);
  service.Signal(SIGHUP);
  ASSERT_TRUE(WaitForLines(service, "Network File Reading Complete.", 2));
  ASSERT_TRUE(service.Stop());
  EXPECT_EQ(service.ReadFile("brelvint.conf"), text);
}

}  // namespace
}  // namespace brelvint
