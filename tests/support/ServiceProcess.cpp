#include "ServiceProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
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

// Test ports come from outside the kernel's ephemeral range, which every
// outgoing connection on the machine draws from, so no client of another
// program takes one between our check and the server's bind. Within what
// is left, each test process claims a block of its own (an flock on a file
// named after the block, held until the process ends), so tests running at
// once, of this build or another, never pick the same port.
constexpr int kFirstPort = 1024;
constexpr int kBlockSize = 64;

struct PortRange {
  int low = 32768;  // the kernel's defaults
  int high = 60999;
};

PortRange EphemeralRange() {
  PortRange range;
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0, high = 0;
  if (in >> low >> high && low > 0 && high >= low) {
    range.low = low;
    range.high = high;
  }
  return range;
}

// The first port of each block lying wholly outside the ephemeral range.
std::vector<int> BlockStarts() {
  PortRange ephemeral = EphemeralRange();
  std::vector<int> starts;
  for (int start = kFirstPort; start + kBlockSize - 1 <= 65535; start += kBlockSize) {
    int end = start + kBlockSize - 1;
    if (end < ephemeral.low || start > ephemeral.high) starts.push_back(start);
  }
  return starts;
}

bool CanBind(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return free;
}

// This process's block and the next port in it to offer.
class PortBlock {
 public:
  PortBlock() {
    std::vector<int> starts = BlockStarts();
    if (starts.empty()) return;
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "brelvint-test-ports";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    std::filesystem::permissions(folder, std::filesystem::perms::all,
                                 std::filesystem::perm_options::add, ignored);
    // Starting from a block picked by the pid, the first one no other test
    // process holds; without a lock folder, the pid's own.
    size_t first = static_cast<size_t>(::getpid()) % starts.size();
    start_ = starts[first];
    for (size_t i = 0; i < starts.size(); ++i) {
      int start = starts[(first + i) % starts.size()];
      std::string file = (folder / std::to_string(start)).string();
      int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0) continue;
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        start_ = start;  // held until the process ends
        return;
      }
      ::close(fd);
    }
  }

  // The next port of the block free right now; 0 when none is.
  uint16_t Next() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (start_ == 0) return 0;
    for (int tried = 0; tried < kBlockSize; ++tried) {
      int port = start_ + offset_;
      offset_ = (offset_ + 1) % kBlockSize;
      if (CanBind(port)) return static_cast<uint16_t>(port);
    }
    return 0;
  }

 private:
  std::mutex mutex_;
  int start_ = 0;
  int offset_ = 0;
};

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
  static PortBlock block;
  return block.Next();
}

std::vector<uint16_t> ServiceProcess::FreePorts(size_t count) {
  std::vector<uint16_t> ports;
  for (size_t i = 0; i < static_cast<size_t>(kBlockSize) && ports.size() < count; ++i) {
    uint16_t port = FreePort();
    if (port != 0 && std::find(ports.begin(), ports.end(), port) == ports.end()) {
      ports.push_back(port);
    }
  }
  return ports;
}

}  // namespace brelvint
