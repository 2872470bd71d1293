#include "service/ControlCommand.h"

#include <fmt/format.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "base/TextNumber.h"
#include "base/TextTable.h"
#include "service/BanCommand.h"
#include "service/ControlSocket.h"

namespace brelvint {

namespace {

constexpr const char kCommands[][10] = {"kick", "ban", "lift", "broadcast", "members"};
constexpr size_t kMaxAnswerBytes = 64 << 20;

struct Arguments {
  OperatorActions::Request request;
  std::optional<std::filesystem::path> data_dir;
  std::optional<std::string> log_file;
  std::string positional;
};

// False when an argument is not understood or one the command needs is missing.
bool Parse(const std::string& command, const std::vector<std::string>& arguments,
           Arguments* parsed) {
  bool takes_name = command == "kick" || command == "ban";
  bool positional_seen = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool has_value = i + 1 < arguments.size();
    if (argument == "--network" && has_value && command != "lift") {
      parsed->request.network = arguments[++i];
      if (parsed->request.network.empty()) return false;
    } else if (argument == "--reason" && has_value && takes_name) {
      parsed->request.reason = arguments[++i];
    } else if (argument == "--minutes" && has_value && command == "ban") {
      // A whole number of minutes, within a year; nothing else is a length.
      const std::string& minutes = arguments[++i];
      if (!TextNumber::IsWholeNumber(minutes)) return false;
      parsed->request.minutes = std::stoll(minutes);
      if (parsed->request.minutes < 1 ||
          parsed->request.minutes > OperatorActions::kMaxBanMinutes) {
        return false;
      }
    } else if (argument == "--all" && command == "broadcast") {
      parsed->request.all = true;
    } else if (argument == "--data-dir" && has_value && !arguments[i + 1].empty()) {
      parsed->data_dir = std::filesystem::absolute(arguments[++i]).lexically_normal();
    } else if (argument == "--log-file" && has_value && command == "lift") {
      parsed->log_file = arguments[++i];
    } else if (!positional_seen && command != "members" &&
               (argument.rfind("--", 0) != 0 || argument.size() == 2)) {
      positional_seen = true;
      parsed->positional = argument == "--" && has_value ? arguments[++i] : argument;
    } else {
      return false;
    }
  }
  OperatorActions::Request& request = parsed->request;
  request.command = command;
  if (takes_name) {
    request.name = parsed->positional;
    return positional_seen && !request.name.empty();
  }
  if (command == "lift") {
    if (!TextNumber::IsWholeNumber(parsed->positional)) return false;
    request.id = std::stoll(parsed->positional);
    return true;
  }
  if (command == "broadcast") {
    request.text = parsed->positional;
    return !request.text.empty() && !(request.all && !request.network.empty());
  }
  return command == "members";
}

// Writes all of `bytes`; false when the socket failed.
bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Everything until the server closes, within the deadline; none on a
// timeout or error.
std::optional<std::string> ReceiveAll(int fd) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::seconds(ControlCommand::kAnswerTimeoutSeconds);
  std::string answer;
  char chunk[65536];
  while (answer.size() < kMaxAnswerBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd ready{fd, POLLIN, 0};
    int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return std::nullopt;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return answer;
    answer.append(chunk, static_cast<size_t>(n));
  }
  return std::nullopt;
}

}  // namespace

bool ControlCommand::Handles(const std::string& command) {
  return std::any_of(std::begin(kCommands), std::end(kCommands),
                     [&](const char* name) { return command == name; });
}

std::string ControlCommand::OperatorName() {
  const char* sudo_user = std::getenv("SUDO_USER");
  if (sudo_user != nullptr && *sudo_user != '\0') return sudo_user;
  struct passwd* account = ::getpwuid(::geteuid());
  return account != nullptr ? account->pw_name : "uid " + std::to_string(::geteuid());
}

ControlCommand::Reach ControlCommand::Ask(const std::filesystem::path& folder,
                                          const OperatorActions::Request& request,
                                          OperatorActions::Outcome* outcome, std::string* why) {
  std::filesystem::path path = folder / ControlSocket::kFileName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof address.sun_path) {
    *why = path.string() + " is too long a path for a socket";
    return Reach::kFailed;
  }
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::string("cannot make a socket: ") + std::strerror(errno);
    return Reach::kFailed;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    // No file, or a file no server listens on (left by a crash): not running.
    if (error == ENOENT || error == ECONNREFUSED) return Reach::kNotRunning;
    *why = "cannot reach the server through " + path.string() + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM) {
      *why += " (only an account that can write the data folder may act)";
    }
    return Reach::kFailed;
  }
  nlohmann::json message = {{"command", request.command}, {"network", request.network},
                            {"name", request.name},       {"reason", request.reason},
                            {"text", request.text},       {"id", request.id},
                            {"all", request.all},         {"account", OperatorName()},
                            {"source", request.source},   {"minutes", request.minutes}};
  std::string line = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  // A server that refuses us answers before reading, and may have closed
  // by the time the request goes: its answer is read all the same.
  SendAll(fd, line);
  std::optional<std::string> answer = ReceiveAll(fd);
  std::optional<OperatorActions::Outcome> read;
  if (answer) read = OperatorActions::ReadOutcome(*answer);
  if (!read) {
    *why = "the server did not answer through " + path.string() +
           " (too busy, or the request was too long)";
    return Reach::kFailed;
  }
  *outcome = std::move(*read);
  return Reach::kAnswered;
}

std::optional<int> ControlCommand::AskAndPrint(const std::filesystem::path& folder,
                                               const OperatorActions::Request& request,
                                               std::ostream& out, std::ostream& err) {
  OperatorActions::Outcome outcome;
  std::string why;
  switch (Ask(folder, request, &outcome, &why)) {
    case Reach::kAnswered:
      return Print(outcome, out, err);
    case Reach::kFailed:
      err << "brelvint: " << why << '\n';
      return 1;
    case Reach::kNotRunning:
      break;
  }
  return std::nullopt;
}

int ControlCommand::Print(const OperatorActions::Outcome& outcome, std::ostream& out,
                          std::ostream& err) {
  // A failure's line goes to `err`; what it could still show (the bans not
  // yet stored when the stored ones cannot be read) goes to `out` all the same.
  if (outcome.status != 0) {
    err << "brelvint: " << outcome.text << '\n';
  } else if (!outcome.text.empty()) {
    out << outcome.text << '\n';
  }
  std::vector<std::vector<std::string>> lines;
  for (const auto& row : outcome.table) {
    std::vector<std::string> line;
    for (const std::string& cell : row) line.push_back(modGlobal::EscapeForLog(cell));
    lines.push_back(std::move(line));
  }
  out << TextTable::Render(lines);
  return outcome.status;
}

int ControlCommand::Run(const std::string& command, const std::vector<std::string>& arguments,
                        std::ostream& out, std::ostream& err) {
  Arguments parsed;
  if (!Parse(command, arguments, &parsed)) {
    err << kUsage;
    return 2;
  }
  if (parsed.data_dir) Paths::SetDataFolder(*parsed.data_dir);
  auto folder = Paths::DataFolder();
  if (!folder) {
    err << "brelvint: cannot find the executable's folder\n";
    return 1;
  }
  if (auto status = AskAndPrint(*folder, parsed.request, out, err)) return *status;
  if (command == "lift") {
    // Without a server the database is changed directly, as `bans lift` does.
    std::vector<std::string> direct{"lift", parsed.positional, "--data-dir", folder->string()};
    if (parsed.log_file) {
      direct.push_back("--log-file");
      direct.push_back(*parsed.log_file);
    }
    return BanCommand::Run(direct, out, err);
  }
  err << "brelvint: " << fmt::format(kNotRunning, (*folder / ControlSocket::kFileName).string())
      << '\n';
  return 1;
}

}  // namespace brelvint
