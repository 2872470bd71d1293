#include "ServiceProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace brelvint {

namespace {

using Clock = std::chrono::steady_clock;

std::filesystem::path MakeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "brelvint-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  return made == nullptr ? std::filesystem::path() : std::filesystem::path(made);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

std::string StripLogPrefix(const std::string& line) {
  size_t end = line.find("] ");
  return end == std::string::npos ? line : line.substr(end + 2);
}

ServiceProcess::ServiceProcess() : folder_(MakeTempFolder()), home_(folder_ / "home") {
  std::filesystem::create_directories(home_);
  std::filesystem::copy_file(BRELVINT_EXECUTABLE, folder_ / "brelvint");
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  if (stderr_fd_ >= 0) ::close(stderr_fd_);
  std::error_code ignored;
  std::filesystem::permissions(folder_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(folder_, ignored);
}

void ServiceProcess::WriteFile(const std::filesystem::path& relative,
                               const std::string& text) const {
  auto path = folder_ / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string ServiceProcess::ReadFile(const std::filesystem::path& relative) const {
  std::ifstream in(folder_ / relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ServiceProcess::WaitForFileText(const std::filesystem::path& relative, const std::string& text,
                                     int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (ReadFile(relative).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(5000);
  }
}

void ServiceProcess::AddNetwork(const std::string& file, const std::string& name, uint16_t port,
                                const std::string& users, const std::string& password,
                                int maxusers) {
  WriteFile(std::filesystem::path("brelvint-server") / file,
            "<?xml version=\"1.0\"?>\n<brelvint>\n  <network name=\"" + name + "\" password=\"" +
                password + "\" maxusers=\"" + std::to_string(maxusers) +
                "\" enabled=\"1\" port=\"" + std::to_string(port) + "\">\n" + users +
                "  </network>\n</brelvint>\n");
}

void ServiceProcess::BindToLoopback() const {
  WriteFile("brelvint.conf",
            "<?xml version=\"1.0\"?>\n<settings>\n  <setting namestring=\"AttachedNIC\" "
            "valuestring=\"00:00:00:00:00:00\" />\n  <setting namestring=\"StatusAddress\" "
            "valuestring=\"\" />\n</settings>\n");
}

void ServiceProcess::SetEnvironment(const std::string& name, const std::string& value) {
  environment_.emplace_back(name, value);
}

bool ServiceProcess::Start(const std::vector<std::string>& arguments) {
  for (int* fd : {&stdout_fd_, &stderr_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  stdout_text_.clear();
  stderr_text_.clear();
  int out_pipe[2], err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) return false;
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ::setenv("HOME", home_.c_str(), 1);
    // A test run under a systemd unit must not report its servers to it.
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) ::unsetenv(name);
    for (const auto& [name, value] : environment_) ::setenv(name.c_str(), value.c_str(), 1);
    if (::chdir("/") != 0) ::_exit(127);
    std::string exe = (folder_ / "brelvint").string();
    std::vector<char*> argv{exe.data()};
    std::vector<std::string> copies(arguments);
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  stdout_fd_ = out_pipe[0];
  stderr_fd_ = err_pipe[0];
  ::fcntl(stdout_fd_, F_SETFL, O_NONBLOCK);
  ::fcntl(stderr_fd_, F_SETFL, O_NONBLOCK);
  return true;
}

void ServiceProcess::Drain() {
  char chunk[65536];
  for (auto [fd, text] :
       {std::pair{stdout_fd_, &stdout_text_}, std::pair{stderr_fd_, &stderr_text_}}) {
    if (fd < 0) continue;
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) text->append(chunk, static_cast<size_t>(n));
  }
}

bool ServiceProcess::WaitForLine(const std::string& text, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    Drain();
    for (const auto& line : SplitLines(stdout_text_)) {
      if (line.size() >= text.size() &&
          line.compare(line.size() - text.size(), text.size(), text) == 0) {
        return true;
      }
    }
    if (Clock::now() >= deadline) return false;
    pollfd entry{stdout_fd_, POLLIN, 0};
    ::poll(&entry, 1, 20);
  }
}

void ServiceProcess::Signal(int signal_number) const {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

std::optional<int> ServiceProcess::WaitExit(int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (pid_ > 0) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      Drain();
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= deadline) return std::nullopt;
    Drain();
    ::usleep(10000);
  }
  return std::nullopt;
}

std::optional<int> ServiceProcess::RunToEnd(const std::vector<std::string>& arguments,
                                            int timeout_ms) {
  if (!Start(arguments)) return std::nullopt;
  auto status = WaitExit(timeout_ms);
  if (!status && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  return status;
}

bool ServiceProcess::Stop() {
  Signal(SIGTERM);
  auto status = WaitExit();
  return status && *status == 0;
}

std::vector<std::string> ServiceProcess::OutputLines() {
  Drain();
  return SplitLines(stdout_text_);
}

void ServiceProcess::DiscardOutput() {
  Drain();
  stdout_text_.clear();
}

std::string ServiceProcess::ErrorOutput() {
  Drain();
  return stderr_text_;
}

std::vector<std::string> ServiceProcess::LogMessages() const {
  std::ifstream in(LogFile());
  std::vector<std::string> messages;
  for (std::string line; std::getline(in, line);) messages.push_back(StripLogPrefix(line));
  return messages;
}

uint16_t ServiceProcess::FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::vector<uint16_t> ServiceProcess::FreePorts(size_t count) {
  std::vector<uint16_t> ports;
  for (int i = 0; i < 1000 && ports.size() < count; ++i) {
    uint16_t port = FreePort();
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
  }
  return ports;
}

}  // namespace brelvint
