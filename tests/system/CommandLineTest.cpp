#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// Every path under `folder`, relative to it.
std::set<std::string> Tree(const fs::path& folder) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    paths.insert(fs::relative(entry.path(), folder).string());
  }
  return paths;
}

std::string NetworkXml(const std::string& name, uint16_t port) {
  return "<?xml version=\"1.0\"?>\n<brelvint>\n  <network name=\"" + name +
         "\" password=\"pw\" maxusers=\"10\" enabled=\"1\" port=\"" + std::to_string(port) +
         "\" />\n</brelvint>\n";
}

// Listeners on 127.0.0.1, and no status page (its default port is shared).
constexpr const char kQuietLoopback[] =
    "<settings>\n  <setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" />\n"
    "  <setting namestring=\"StatusAddress\" valuestring=\"\" />\n</settings>\n";
constexpr const char kStarted[] = "Status page off: StatusAddress is empty.";

// A listening socket on 127.0.0.1 that holds a port for the test's length.
class PortHolder {
 public:
  PortHolder() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 1);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~PortHolder() { ::close(fd_); }
  uint16_t Port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

TEST(CommandLineTest, VersionAndHelpPrintAndTouchNothing) {
  ServiceProcess service;
  const auto before = Tree(service.Folder());
  ASSERT_EQ(service.RunToEnd({"--version"}), 0);
  auto lines = service.OutputLines();
  ASSERT_EQ(lines.size(), 1u) << Joined(lines);
  EXPECT_EQ(lines[0].rfind("brelvint ", 0), 0u) << lines[0];
  EXPECT_GT(lines[0].size(), std::string("brelvint ").size());

  ASSERT_EQ(service.RunToEnd({"--help"}), 0);
  std::string help = Joined(service.OutputLines());
  for (const char* option : {"--data-dir DIR", "--check", "--version", "--help"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(service.RunToEnd({"--no-such-option"}), 2);
  EXPECT_NE(service.ErrorOutput().find("--no-such-option"), std::string::npos);
  EXPECT_EQ(service.RunToEnd({"--data-dir"}), 2);
  // No log, no settings, no network folder, no database, no lock.
  EXPECT_EQ(Tree(service.Folder()), before);
}

TEST(CommandLineTest, DataDirHoldsEveryFileAndTheExecutableFolderStaysUntouched) {
  ServiceProcess service;
  const fs::path data = service.Folder() / "data";
  fs::create_directories(data / "brelvint-server");
  uint16_t port = ServiceProcess::FreePort();
  service.WriteFile("data/brelvint.conf", kQuietLoopback);
  service.WriteFile("data/brelvint-server/a.conf", NetworkXml("Alpha", port));
  // A relative folder counts from the working directory the server was
  // started in ("/" for ServiceProcess), so an absolute one is given here.
  ASSERT_TRUE(service.Start({"--data-dir", data.string()}));
  ASSERT_TRUE(service.WaitForLine("Listening on 127.0.0.1:" + std::to_string(port) + " for Alpha"))
      << Joined(service.OutputLines()) << service.ErrorOutput();
  TestClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_TRUE(client.Login("Alpha", "pw", "anna"));
  ASSERT_TRUE(service.Stop());

  for (const char* file : {"brelvint.db", "brelvint.lock", "brelvint-server/a.conf"}) {
    EXPECT_TRUE(fs::exists(data / file)) << file;
    EXPECT_FALSE(fs::exists(service.Folder() / file)) << file;
  }
  EXPECT_NE(service.ReadFile("data/brelvint-server/a.conf").find("Name=\"anna\""),
            std::string::npos);
  EXPECT_EQ(Tree(service.Folder()).count("brelvint.conf"), 0u);
}

TEST(CommandLineTest, CheckOnAGoodFolderPrintsEachNetworkAndWritesNothing) {
  ServiceProcess service;
  service.BindToLoopback();
  uint16_t alpha = ServiceProcess::FreePort(), beta = ServiceProcess::FreePort();
  service.WriteFile("brelvint-server/a.conf", NetworkXml("Alpha", alpha));
  service.WriteFile("brelvint-server/b.conf", NetworkXml("Beta", beta));
  service.WriteFile("brelvint-server/notes.txt", "not a network");
  const auto before = Tree(service.Folder());
  const std::string settings = service.ReadFile("brelvint.conf");

  ASSERT_EQ(service.RunToEnd({"--check"}), 0) << Joined(service.OutputLines());
  std::string report = Joined(service.OutputLines());
  EXPECT_NE(report.find("Network \"Alpha\" (a.conf, enabled): 127.0.0.1:" + std::to_string(alpha)),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("Network \"Beta\" (b.conf, enabled): 127.0.0.1:" + std::to_string(beta)),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("problem:"), std::string::npos) << report;
  EXPECT_EQ(Tree(service.Folder()), before);
  EXPECT_EQ(service.ReadFile("brelvint.conf"), settings);
}

TEST(CommandLineTest, CheckOnAFolderWithoutSettingsCreatesNothing) {
  ServiceProcess service;
  const auto before = Tree(service.Folder());
  ASSERT_EQ(service.RunToEnd({"--check"}), 0) << Joined(service.OutputLines());
  EXPECT_EQ(Tree(service.Folder()), before);
}

// One folder per problem a start would meet; each is reported and fails the check.
TEST(CommandLineTest, CheckReportsEachProblemAndFails) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // relative path, text
    std::string expected;                                    // in the report
  };
  const std::string loopback =
      "<settings><setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" "
      "/></settings>\n";
  uint16_t a = ServiceProcess::FreePort(), b = ServiceProcess::FreePort();
  const std::vector<Case> cases = {
      {"malformed network file",
       {{"brelvint.conf", loopback},
        {"brelvint-server/a.conf", NetworkXml("Alpha", a)},
        {"brelvint-server/b.conf",
         "<brelvint>\n  <network name=\"Beta\" port=\"1\">\n</brelvint>"}},
       "b.conf: Start-end tags mismatch at line 3, column 3"},
      {"malformed settings file",
       {{"brelvint.conf", "<settings>\n<setting namestring=\"x\" valuestring=\"y\"\n"}},
       "brelvint.conf: "},
      {"name defined twice",
       {{"brelvint.conf", loopback},
        {"brelvint-server/a.conf", NetworkXml("Alpha", a)},
        {"brelvint-server/b.conf", NetworkXml("ALPHA", b)}},
       "b.conf: the network name \"ALPHA\" is already defined by a.conf"},
      {"port shared",
       {{"brelvint.conf", loopback},
        {"brelvint-server/a.conf", NetworkXml("Alpha", a)},
        {"brelvint-server/b.conf", NetworkXml("Beta", a)}},
       "b.conf: network \"Beta\" shares port " + std::to_string(a) + " with network \"Alpha\""},
      {"AttachedNIC no interface has",
       {{"brelvint.conf",
         "<settings><setting namestring=\"AttachedNIC\" valuestring=\"02:00:5e:00:53:99\" "
         "/></settings>\n"},
        {"brelvint-server/a.conf", NetworkXml("Alpha", a)}},
       "AttachedNIC 02:00:5e:00:53:99 is on no interface of this host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServiceProcess service;
    for (const auto& [path, text] : c.files) service.WriteFile(path, text);
    const auto before = Tree(service.Folder());
    EXPECT_EQ(service.RunToEnd({"--check"}), 1);
    std::string report = Joined(service.OutputLines());
    size_t at = report.find("problem: ");
    ASSERT_NE(at, std::string::npos) << report;
    EXPECT_NE(report.find(c.expected, at), std::string::npos) << report;
    EXPECT_EQ(Tree(service.Folder()), before);
  }
}

// The check shows each network where a start would listen, written as the
// listener's log line writes it, and nothing where a start would refuse.
TEST(CommandLineTest, CheckShowsTheAddressesAStartWouldBind) {
  uint16_t port = ServiceProcess::FreePort();
  const std::string p = std::to_string(port);
  struct Case {
    const char* listen_address;
    int status;
    std::string shown;  // the network's line
  };
  const std::vector<Case> cases = {
      {"127.0.0.1, ::1", 0, "Network \"Alpha\" (a.conf, enabled): 127.0.0.1:" + p + ", [::1]:" + p},
      {"10.8.0.300", 1,
       "Network \"Alpha\" (a.conf, enabled): port " + p + ", no address (see ListenAddress)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listen_address);
    ServiceProcess service;
    service.WriteFile("brelvint.conf",
                      std::string("<settings>\n  <setting namestring=\"ListenAddress\" "
                                  "valuestring=\"") +
                          c.listen_address + "\" />\n</settings>\n");
    service.WriteFile("brelvint-server/a.conf", NetworkXml("Alpha", port));
    EXPECT_EQ(service.RunToEnd({"--check"}), c.status);
    auto lines = service.OutputLines();
    std::string report = Joined(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), c.shown), 1) << report;
    EXPECT_EQ(report.find("0.0.0.0"), std::string::npos) << report;
  }
}

// A port another program holds is the host's state, not a fault of the
// files: a warning that leaves the check passing, so a reload goes ahead.
// Beside a problem it is still printed, and the problem fails the check.
TEST(CommandLineTest, CheckWarnsOfAPortAnotherProgramHoldsAndFailsOnlyOnProblems) {
  PortHolder taken;
  const std::string warning =
      "warning: network \"Alpha\" cannot listen on 127.0.0.1:" + std::to_string(taken.Port()) +
      ": Address already in use; a running server tries again every 30 s and at each reload";
  struct Case {
    const char* what;
    std::string beta;  // the second network file
    int status;
    std::string summary;
  };
  const std::vector<Case> cases = {
      {"warning alone", NetworkXml("Beta", ServiceProcess::FreePort()), 0,
       "No problem found, 1 warning."},
      {"warning and problem", "<brelvint>\n  <network name=\"Beta\" port=\"1\">\n</brelvint>", 1,
       "1 problem found, 1 warning."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServiceProcess service;
    service.BindToLoopback();
    service.WriteFile("brelvint-server/a.conf", NetworkXml("Alpha", taken.Port()));
    service.WriteFile("brelvint-server/b.conf", c.beta);
    EXPECT_EQ(service.RunToEnd({"--check"}), c.status);
    auto lines = service.OutputLines();
    std::string report = Joined(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 1) << report;
    EXPECT_EQ(report.find("problem: network \"Alpha\""), std::string::npos) << report;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.summary) << report;
  }
}

// A second start on a folder a server holds changes nothing: not its log,
// not its settings, not its listener.
TEST(CommandLineTest, SecondStartOnAHeldFolderIsRefusedAndTouchesNothing) {
  ServiceProcess first;
  first.WriteFile("brelvint.conf", kQuietLoopback);
  uint16_t port = ServiceProcess::FreePort();
  first.AddNetwork("a.conf", "Alpha", port);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(first.WaitForLine(kStarted));
  std::string log_text;
  {
    std::ifstream in(first.LogFile());
    log_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string settings = first.ReadFile("brelvint.conf");

  ServiceProcess second;
  second.UseHome(first.Home());
  // The hold is on the folder itself: deleting the lock file, as a careless
  // clean-up might, must not let a second server in.
  const fs::path lock_file = first.Folder() / "brelvint.lock";
  for (bool lock_file_deleted : {false, true}) {
    SCOPED_TRACE(lock_file_deleted ? "lock file deleted" : "lock file kept");
    if (lock_file_deleted) {
      ASSERT_TRUE(fs::remove(lock_file));
    }
    EXPECT_EQ(second.RunToEnd({"--data-dir", first.Folder().string()}), 1);
    std::string error = second.ErrorOutput();
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_NE(error.find("process " + std::to_string(first.Pid())), std::string::npos) << error;
    EXPECT_TRUE(second.OutputLines().empty());
    EXPECT_EQ(fs::exists(lock_file), !lock_file_deleted);
    std::ifstream in(first.LogFile());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              log_text);
  }
  EXPECT_EQ(first.ReadFile("brelvint.conf"), settings);
  TestClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_TRUE(client.Login("Alpha", "pw", "anna"));

  // The hold is the kernel's: a server killed outright leaves nothing to clear.
  first.Signal(SIGKILL);
  ASSERT_TRUE(first.WaitExit());
  ASSERT_TRUE(second.Start({"--data-dir", first.Folder().string()}));
  EXPECT_TRUE(second.WaitForLine(kStarted)) << second.ErrorOutput();
  EXPECT_TRUE(second.Stop());
}

// A restart keeps the previous run's log, so the lines that led up to a
// crash survive it; --log-file puts the log where the operator says.
TEST(CommandLineTest, EachStartKeepsThePreviousLogAsDotOne) {
  ServiceProcess service;
  service.WriteFile("brelvint.conf", kQuietLoopback);
  service.AddNetwork("a.conf", "Alpha", ServiceProcess::FreePort());
  const fs::path log = service.Folder() / "logs" / "server.log";
  fs::create_directories(log.parent_path());
  for (int run = 1; run <= 3; ++run) {
    ASSERT_TRUE(service.Start({"--log-file", log.string()}));
    ASSERT_TRUE(service.WaitForLine(kStarted)) << service.ErrorOutput();
    ASSERT_TRUE(service.Stop());
    std::ifstream in(log);
    std::string first_line;
    std::getline(in, first_line);
    EXPECT_NE(first_line.find("Loading Settings..."), std::string::npos) << first_line;
  }
  std::ifstream current(log), previous(log.string() + ".1");
  std::string current_text(std::istreambuf_iterator<char>(current), {});
  std::string previous_text(std::istreambuf_iterator<char>(previous), {});
  // One run each: the .1 of the second run was replaced by the third.
  auto starts = [](const std::string& text) {
    size_t count = 0;
    for (size_t at = text.find("Loading Settings..."); at != std::string::npos;
         at = text.find("Loading Settings...", at + 1)) {
      ++count;
    }
    return count;
  };
  EXPECT_EQ(starts(current_text), 1u);
  EXPECT_EQ(starts(previous_text), 1u);
  EXPECT_NE(previous_text.find("Received quit signal."), std::string::npos);
  EXPECT_FALSE(fs::exists(service.LogFile())) << "the default log was written too";
}

// Two servers on two data folders and one log file would truncate and
// interleave it: the second is refused before it touches the log.
TEST(CommandLineTest, ASecondServerOnTheSameLogFileIsRefused) {
  ServiceProcess first, second;
  first.WriteFile("brelvint.conf", kQuietLoopback);
  first.AddNetwork("a.conf", "Alpha", ServiceProcess::FreePort());
  second.WriteFile("brelvint.conf", kQuietLoopback);
  second.AddNetwork("b.conf", "Beta", ServiceProcess::FreePort());
  const fs::path log = first.Folder() / "shared.log";
  ASSERT_TRUE(first.Start({"--log-file", log.string()}));
  ASSERT_TRUE(first.WaitForLine(kStarted)) << first.ErrorOutput();
  std::ifstream before_in(log);
  std::string before(std::istreambuf_iterator<char>(before_in), {});

  EXPECT_EQ(second.RunToEnd({"--log-file", log.string()}), 1);
  std::string error = second.ErrorOutput();
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
  EXPECT_NE(error.find("is written by another running server"), std::string::npos) << error;
  std::ifstream after_in(log);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after_in), {}), before);
  EXPECT_FALSE(fs::exists(log.string() + ".1"));
  EXPECT_FALSE(fs::exists(second.Folder() / "brelvint.db")) << "the refused start opened its data";
  EXPECT_TRUE(first.Stop());
}

// Started once by hand as root, the server would leave root-owned files
// that the service's own account then cannot open.
TEST(CommandLineTest, AStartAsRootOnAnotherAccountsFolderIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  ServiceProcess service;
  service.WriteFile("brelvint.conf", kQuietLoopback);
  service.AddNetwork("a.conf", "Alpha", ServiceProcess::FreePort());
  const fs::path data = service.Folder() / "data";
  fs::create_directories(data / "brelvint-server");
  service.WriteFile("data/brelvint.conf", kQuietLoopback);
  ASSERT_EQ(::chown(data.c_str(), 65534, 65534), 0);
  auto before = Tree(data);
  EXPECT_EQ(service.RunToEnd({"--data-dir", data.string()}), 1);
  std::string error = service.ErrorOutput();
  EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
  EXPECT_NE(error.find("sudo -u "), std::string::npos) << error;
  EXPECT_EQ(Tree(data), before);
  EXPECT_FALSE(fs::exists(service.LogFile()));
}

// An executable in a system folder, started without --data-dir, would keep
// its settings and database beside itself. The test lays a temporary
// folder over /usr/local/sbin in a mount namespace of its own, so nothing
// outside the test sees it.
TEST(CommandLineTest, AStartFromASystemFolderWithoutDataDirIsRefused) {
  if (::geteuid() != 0 || std::system("unshare --mount true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and unshare";
  }
  ServiceProcess service;
  const fs::path folder = service.Folder() / "system";
  fs::create_directories(folder);
  const std::string out = (service.Folder() / "out.txt").string();
  std::string script =
      "mount --bind " + folder.string() + " /usr/local/sbin && cp " + BRELVINT_EXECUTABLE +
      " /usr/local/sbin/brelvint && HOME=" + service.Home().string() + " /usr/local/sbin/brelvint";
  int status = std::system(("unshare --mount sh -c '" + script + "' 2>" + out).c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string error = service.ReadFile("out.txt");
  EXPECT_NE(error.find("lies in /usr/local/sbin, a system folder"), std::string::npos) << error;
  EXPECT_NE(error.find("--data-dir"), std::string::npos) << error;
  EXPECT_EQ(Tree(folder), std::set<std::string>{"brelvint"});
  EXPECT_FALSE(fs::exists(service.LogFile()));
}

// Without --data-dir, the check of an executable in a system folder fails
// as a start there would, instead of passing on that folder's files.
TEST(CommandLineTest, CheckFromASystemFolderWithoutDataDirFails) {
  if (::geteuid() != 0 || std::system("unshare --mount true 2>/dev/null") != 0) {
    GTEST_SKIP() << "needs root and unshare";
  }
  ServiceProcess service;
  const fs::path folder = service.Folder() / "system";
  fs::create_directories(folder);
  const std::string out = (service.Folder() / "out.txt").string();
  std::string script = "mount --bind " + folder.string() + " /usr/local/sbin && cp " +
                       BRELVINT_EXECUTABLE +
                       " /usr/local/sbin/brelvint && HOME=" + service.Home().string() +
                       " /usr/local/sbin/brelvint --check";
  int status = std::system(("unshare --mount sh -c '" + script + "' >" + out).c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string report = service.ReadFile("out.txt");
  EXPECT_NE(report.find("problem: a start here would be refused: the executable lies in "
                        "/usr/local/sbin, a system folder"),
            std::string::npos)
      << report;
  EXPECT_EQ(Tree(folder), std::set<std::string>{"brelvint"});
}

}  // namespace
}  // namespace brelvint
