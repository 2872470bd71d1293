#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brelvint {

// The real brelvint executable, copied into a fresh temporary folder (it
// finds its files beside itself) and run with HOME pointed at another, so
// each test sees its own settings, networks, database and log.
class ServiceProcess {
 public:
  ServiceProcess();
  ~ServiceProcess();  // kills the process if it still runs; removes the folder
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::filesystem::path& Folder() const { return folder_; }
  const std::filesystem::path& Home() const { return home_; }
  std::filesystem::path NetworkFolder() const { return folder_ / "brelvint-server"; }
  std::filesystem::path LogFile() const { return home_ / "com.brelvint.log"; }

  void WriteFile(const std::filesystem::path& relative, const std::string& text) const;
  std::string ReadFile(const std::filesystem::path& relative) const;
  // Waits until the file holds `text`: network files take a login's edit
  // in the background, shortly after its reply.
  bool WaitForFileText(const std::filesystem::path& relative, const std::string& text,
                       int timeout_ms = 5000) const;
  // A network file in the network folder.
  void AddNetwork(const std::string& file, const std::string& name, uint16_t port,
                  const std::string& users = "", const std::string& password = "pw",
                  int maxusers = 100);
  // Settings that bind every listener to 127.0.0.1, with no status
  // endpoint (its default port is shared by everything on the machine).
  void BindToLoopback() const;

  // Starts the service with `arguments` after the executable's name;
  // false when it could not be started.
  bool Start(const std::vector<std::string>& arguments = {});
  // Starts it with `arguments` and waits for its end; its exit status, or
  // none when it ran past `timeout_ms` (it is then killed).
  std::optional<int> RunToEnd(const std::vector<std::string>& arguments, int timeout_ms = 10000);
  // Runs the process with another HOME (where its log goes), such as
  // another ServiceProcess's.
  void UseHome(const std::filesystem::path& home) { home_ = home; }
  // Sets an environment variable for the processes started from now on.
  // systemd's own variables (NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID) are
  // not passed on from the test's environment, only set this way.
  void SetEnvironment(const std::string& name, const std::string& value);
  // Waits until the log (standard output) holds a line ending with `text`.
  bool WaitForLine(const std::string& text, int timeout_ms = 5000);
  void Signal(int signal_number) const;
  // Waits for the process to end; its exit status, or none on a timeout.
  std::optional<int> WaitExit(int timeout_ms = 5000);
  // Sends SIGTERM and waits; true when it ended with status 0.
  bool Stop();

  // Lines the process wrote to standard output (and standard error) so far.
  std::vector<std::string> OutputLines();
  // Reads and forgets what the process wrote to standard output so far: a
  // test that makes it log thousands of lines calls it now and then, or the
  // pipe fills and the process waits for it (the log file keeps them all).
  void DiscardOutput();
  std::string ErrorOutput();
  // Log lines with the "[date time] " prefix removed.
  std::vector<std::string> LogMessages() const;
  pid_t Pid() const { return pid_; }

  // A TCP port on 127.0.0.1 that is free right now, outside the kernel's
  // ephemeral range (no outgoing connection of another program takes it)
  // and in a block of ports this test process holds alone, so no other
  // test takes it either; each call offers the block's next one. 0 when
  // the block has none free.
  static uint16_t FreePort();
  // `count` such ports, all different; fewer only if the block has fewer
  // free.
  static std::vector<uint16_t> FreePorts(size_t count);

 private:
  void Drain();

  std::filesystem::path folder_;
  std::filesystem::path home_;
  std::vector<std::pair<std::string, std::string>> environment_;
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::string stdout_text_;
  std::string stderr_text_;
};

// The text after the "[date time] " prefix of a log line.
std::string StripLogPrefix(const std::string& line);

}  // namespace brelvint
