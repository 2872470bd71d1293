#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The unit's ExecReload= command lines, with its executable, data folder and
// $MAINPID pointed at `service`.
std::vector<std::string> ExecReloadLines(const ServiceProcess& service) {
  std::ifstream unit(std::string(BRELVINT_SOURCE_DIR) + "/packaging/brelvint.service.in");
  const std::string key = "ExecReload=";
  std::vector<std::string> lines;
  for (std::string line; std::getline(unit, line);) {
    if (line.rfind(key, 0) != 0) continue;
    line.erase(0, key.size());
    ReplaceAll(line, "@BRELVINT_BINDIR@/brelvint", (service.Folder() / "brelvint").string());
    ReplaceAll(line, "/var/lib/brelvint", service.Folder().string());
    ReplaceAll(line, "$MAINPID", std::to_string(service.Pid()));
    lines.push_back(line);
  }
  return lines;
}

// Runs the lines as systemd runs a unit's ExecReload=: in order, stopping at
// the first that fails. True when every line succeeded.
bool RunReload(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    int status = std::system((line + " >/dev/null").c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  }
  return true;
}

bool Logged(const ServiceProcess& service, const std::string& line) {
  auto lines = service.LogMessages();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// `systemctl reload brelvint` runs the unit's reload lines: a network file
// that would not load fails the reload, and the running server never sees a
// SIGHUP, so it keeps its networks; once the file is mended the reload goes
// through.
TEST(UnitReloadTest, AReloadOfFilesThatWouldNotLoadFailsAndChangesNothing) {
  ServiceProcess service;
  service.BindToLoopback();
  auto ports = ServiceProcess::FreePorts(3);
  ASSERT_EQ(ports.size(), 3u);
  const uint16_t alpha = ports[0], beta = ports[1], gamma = ports[2];
  service.AddNetwork("a.conf", "Alpha", alpha);
  ASSERT_TRUE(service.Start());
  ASSERT_TRUE(service.WaitForLine("Status page off: StatusAddress is empty."));
  auto lines = ExecReloadLines(service);
  ASSERT_GE(lines.size(), 2u);

  service.AddNetwork("c.conf", "Gamma", gamma);
  service.WriteFile("brelvint-server/b.conf", "<brelvint>\n  <network name=\"Beta\">\n</brelvint>");
  EXPECT_FALSE(RunReload(lines));
  EXPECT_FALSE(Logged(service, "Reloading Networks..."));
  TestClient refused;
  EXPECT_FALSE(refused.Connect(gamma));

  service.AddNetwork("b.conf", "Beta", beta);
  EXPECT_TRUE(RunReload(lines));
  ASSERT_TRUE(
      service.WaitForLine("Listening on 127.0.0.1:" + std::to_string(gamma) + " for Gamma"));
  TestClient member;
  ASSERT_TRUE(member.Connect(gamma));
  EXPECT_TRUE(member.Login("Gamma", "pw", "anna"));
  EXPECT_TRUE(service.Stop());
}

}  // namespace
}  // namespace brelvint
