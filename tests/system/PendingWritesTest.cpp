// Writes still on their way to the disk are part of what the running
// service reports and decides: a reload under a full disk, a network
// removed with logins unwritten, a stop that cannot wait for a hung disk.
// The disk's faults come from a preloaded library (support/file_faults.c)
// switched by files in a folder of the test's own.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/MD5.h"
#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;

const char kMainFile[] = "brelvint-server/main.conf";

class PendingWritesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    faults_ = service_.Folder() / "faults";
    fs::create_directories(faults_);
    service_.SetEnvironment("LD_PRELOAD", BRELVINT_FILE_FAULTS);
    service_.SetEnvironment("BRELVINT_FAULTS", faults_.string());
    // A sanitized build's runtime would refuse to come after the preload.
    const char* asan = std::getenv("ASAN_OPTIONS");
    service_.SetEnvironment("ASAN_OPTIONS",
                            std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
  }
  void Switch(const char* name, bool on) const {
    if (on) {
      std::ofstream(faults_ / name) << "on";
    } else {
      fs::remove(faults_ / name);
    }
  }
  void WriteSettings(const std::string& extra = "") const {
    service_.WriteFile(
        "brelvint.conf",
        "<?xml version=\"1.0\"?>\n<settings>\n"
        "  <setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" />\n"
        "  <setting namestring=\"StatusAddress\" valuestring=\"\" />\n" +
            extra + "</settings>\n");
  }
  // The answer to a whole login on `port` from `source`: "OK", "FAIL", or
  // why no answer came. The connection stays open in `held_`.
  std::string LogIn(uint16_t port, const std::string& network, const std::string& user,
                    const std::string& source = "127.0.0.1") {
    auto client = std::make_unique<TestClient>();
    if (!client->Connect(port, source) || !client->ReceiveCommand(1)) return "<no greeting>";
    client->Send(1, network);
    auto selected = client->ReceiveCommand(2);
    if (!selected || selected->data != "OK") return "<no selection>";
    client->Send(2, MD5::Digest("pw"));
    auto proved = client->ReceiveCommand(3);
    if (!proved || proved->data != "OK") return "<no password>";
    client->Send(3, user);
    auto named = client->ReceiveCommand(4);
    held_.push_back(std::move(client));
    return named ? named->data : "<none>";
  }
  bool Logged(const std::string& part) const {
    for (const auto& line : service_.LogMessages()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
  // Waits (bounded) until the log holds `part`.
  bool WaitLogged(const std::string& part, int timeout_ms = 10000) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!Logged(part)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  // The temporary files of replaces in the network folder.
  std::vector<std::string> TemporaryFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(service_.NetworkFolder())) {
      std::string name = entry.path().filename().string();
      if (name.rfind(".main.conf.", 0) == 0) names.push_back(name);
    }
    return names;
  }

  ServiceProcess service_;
  fs::path faults_;
  std::vector<std::unique_ptr<TestClient>> held_;
};

// With the disk full, logins are answered and kept by the writer; a reload
// meanwhile, with no edit, is no change of the network, and the names just
// enrolled still count against MaxRegisteredUsers. Once the disk has room,
// exactly those names reach the file.
TEST_F(PendingWritesTest, AReloadUnderAFullDiskKeepsTheNamesJustEnrolled) {
  WriteSettings("  <setting namestring=\"MaxRegisteredUsers\" valuestring=\"2\" />\n");
  const uint16_t port = ServiceProcess::FreePort();
  service_.AddNetwork("main.conf", "Main", port);
  Switch("enospc", true);
  ASSERT_TRUE(service_.Start());
  ASSERT_TRUE(service_.WaitForLine("Listening...", 10000));

  EXPECT_EQ(LogIn(port, "Main", "anna"), "OK");
  EXPECT_EQ(LogIn(port, "Main", "bert", "127.0.0.2"), "OK");
  ASSERT_TRUE(WaitLogged("Cannot write network file ")) << service_.ErrorOutput();
  EXPECT_TRUE(WaitLogged("No space left on device"));

  service_.Signal(SIGHUP);
  ASSERT_TRUE(service_.WaitForLine("Reloading Networks...", 10000));
  EXPECT_EQ(LogIn(port, "Main", "carl", "127.0.0.3"), "FAIL");  // answered after the reload
  EXPECT_FALSE(Logged("Network Changed: Main"));

  Switch("enospc", false);
  ASSERT_TRUE(service_.WaitForFileText(kMainFile, "Name=\"bert\"", 10000));
  ASSERT_TRUE(service_.Stop());
  const std::string file = service_.ReadFile(kMainFile);
  EXPECT_NE(file.find("<User LastIP=\"127.0.0.1\" Name=\"anna\"/>"), std::string::npos) << file;
  EXPECT_EQ(file.find("carl"), std::string::npos) << file;
  EXPECT_FALSE(Logged("Network Changed: Main"));
}

// A network whose file is gone takes its unwritten logins with it when a
// reload removes it: one line counts them, and a file of the same name made
// later for another network never receives them.
TEST_F(PendingWritesTest, ARemovedNetworksLoginsAreDroppedNotWrittenIntoAnotherNetwork) {
  WriteSettings();
  const std::vector<uint16_t> ports = ServiceProcess::FreePorts(2);
  ASSERT_EQ(ports.size(), 2u);
  service_.AddNetwork("main.conf", "Main", ports[0]);
  ASSERT_TRUE(service_.Start());
  ASSERT_TRUE(service_.WaitForLine("Listening...", 10000));

  fs::remove(service_.Folder() / kMainFile);
  EXPECT_EQ(LogIn(ports[0], "Main", "ghost"), "OK");
  ASSERT_TRUE(WaitLogged("cannot be read as a network; its logins wait"));
  service_.Signal(SIGHUP);
  ASSERT_TRUE(service_.WaitForLine("Network Removed: Main", 10000));
  ASSERT_TRUE(WaitLogged("Logins of removed network Main dropped: 1 not yet written to "));

  service_.AddNetwork("main.conf", "Other", ports[1]);
  service_.Signal(SIGHUP);
  ASSERT_TRUE(service_.WaitForLine("Network Added: Other", 10000));
  ASSERT_TRUE(service_.WaitForLine(":" + std::to_string(ports[1]) + " for Other", 10000));
  // The writer takes every login waiting for a file in one write: once
  // this one is in, a login of the removed network would be too.
  EXPECT_EQ(LogIn(ports[1], "Other", "fence"), "OK");
  ASSERT_TRUE(service_.WaitForFileText(kMainFile, "Name=\"fence\"", 10000));
  EXPECT_EQ(service_.ReadFile(kMainFile).find("ghost"), std::string::npos)
      << service_.ReadFile(kMainFile);
  ASSERT_TRUE(service_.Stop());
}

// A stop that cannot wait for a hung disk holds the write back, says the
// login it carried is lost (which the file then confirms), and the next
// start removes the temporary file that write left, and nothing else.
TEST_F(PendingWritesTest, AStopWithAStuckWriterLosesWhatItSaysAndTheNextStartCleansUp) {
  WriteSettings();
  const uint16_t port = ServiceProcess::FreePort();
  service_.AddNetwork("main.conf", "Main", port);
  // Not ours: an editor's backup and a name of our pattern for no network file.
  service_.WriteFile("brelvint-server/.main.conf.swp", "editor");
  service_.WriteFile("brelvint-server/.notes.txt.Ab12Cd", "notes");
  ASSERT_TRUE(service_.Start());
  ASSERT_TRUE(service_.WaitForLine("Listening...", 10000));

  Switch("stall", true);
  EXPECT_EQ(LogIn(port, "Main", "anna"), "OK");
  for (int i = 0; i < 500 && !fs::exists(faults_ / "stalled"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(fs::exists(faults_ / "stalled"));
  service_.Signal(SIGTERM);
  auto status = service_.WaitExit(30000);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(Logged("Login not written to ")) << service_.ReadFile("home/com.brelvint.log");
  EXPECT_TRUE(Logged(" before the stop: anna from 127.0.0.1"));
  EXPECT_FALSE(Logged("may or may not"));
  Switch("stall", false);
  std::vector<std::string> left = TemporaryFiles();
  ASSERT_EQ(left.size(), 2u);  // the write's, and the editor's backup

  ASSERT_TRUE(service_.Start());
  ASSERT_TRUE(service_.WaitForLine("Listening...", 10000));
  left = TemporaryFiles();
  EXPECT_EQ(left, std::vector<std::string>{".main.conf.swp"});
  EXPECT_TRUE(fs::exists(service_.NetworkFolder() / ".notes.txt.Ab12Cd"));
  EXPECT_TRUE(Logged("Removed stale temporary file .main.conf."));
  EXPECT_EQ(service_.ReadFile(kMainFile).find("anna"), std::string::npos);
  ASSERT_TRUE(service_.Stop());
}

}  // namespace
}  // namespace brelvint
