#include "service/BanCommand.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <optional>
#include <ostream>

#include "base/FolderLock.h"
#include "base/LogMessage.h"
#include "base/Paths.h"
#include "base/TextNumber.h"
#include "base/TextTable.h"
#include "hub/BanStore.h"
#include "service/ControlCommand.h"

namespace brelvint {

namespace {

// A lift waits this long for a database another connection is writing.
constexpr std::chrono::seconds kBusyWait{5};

struct Arguments {
  std::string action;  // "list" or "lift"
  std::string id;
  std::string network;
  std::optional<std::filesystem::path> data_dir;
  std::optional<std::filesystem::path> log_file;
};

// False when an argument is not understood.
bool Parse(const std::vector<std::string>& arguments, Arguments* parsed) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool has_value = i + 1 < arguments.size() && !arguments[i + 1].empty();
    if (argument == "--network" && has_value) {
      parsed->network = arguments[++i];
    } else if (argument == "--data-dir" && has_value) {
      parsed->data_dir = std::filesystem::absolute(arguments[++i]).lexically_normal();
    } else if (argument == "--log-file" && has_value) {
      parsed->log_file = std::filesystem::absolute(arguments[++i]).lexically_normal();
    } else if (parsed->action.empty() && (argument == "list" || argument == "lift")) {
      parsed->action = argument;
    } else if (parsed->action == "lift" && parsed->id.empty() &&
               TextNumber::IsWholeNumber(argument)) {
      parsed->id = argument;
    } else {
      return false;
    }
  }
  if (parsed->action == "lift") return !parsed->id.empty() && parsed->network.empty();
  return parsed->action == "list";
}

constexpr const char kRootRefusal[] =
    "brelvint: {0} belongs to {1}, and files this command made there as root (the log after a "
    "rotation, the database's journal) would lock {1}'s server out; run it as {1}: sudo -u {1} "
    "brelvint bans{2}\n";

// The refusal (one line for standard error) when the command runs as root
// on folders another account owns, as a start there is refused; none
// otherwise. Whatever it may create is then made no wider than the
// server's own files (its unit's UMask=0027): never writable by the group,
// never readable by every local user.
std::optional<std::string> WriteRefusal(const std::filesystem::path& data_folder,
                                        const std::optional<std::filesystem::path>& log_file,
                                        const std::vector<std::string>& arguments) {
  std::vector<std::filesystem::path> places{data_folder};
  if (log_file) places.push_back(log_file->parent_path());
  for (const auto& place : places) {
    auto owner = Paths::OtherOwnerWhenRoot(place);
    if (!owner) continue;
    std::string command;
    for (const std::string& argument : arguments) command += " " + argument;
    return fmt::format(kRootRefusal, place.string(), *owner, command);
  }
  ::umask(::umask(0) | 027);
  return std::nullopt;
}

// The rows as a table, one line each under a heading, columns padded to
// their widest entry. Text that came from clients is escaped as in the log.
void PrintTable(const std::vector<BanStore::Ban>& rows, std::ostream& out) {
  std::vector<std::vector<std::string>> lines{
      {"ID", "Network", "Address", "Name", "By", "Date", "Ends", "Reason"}};
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (const BanStore::Ban& ban : rows) {
    lines.push_back({std::to_string(ban.id), modGlobal::EscapeForLog(ban.network),
                     modGlobal::EscapeForLog(ban.address), modGlobal::EscapeForLog(ban.name),
                     modGlobal::EscapeForLog(ban.by), modGlobal::EscapeForLog(ban.bandate),
                     BanStore::EndText(ban, now), modGlobal::EscapeForLog(ban.reason)});
  }
  out << TextTable::Render(lines);
}

// With no server running every ban is in the database: none is on its way.
int List(BanStore& store, const Arguments& arguments, std::ostream& out, std::ostream& err) {
  std::string error;
  std::vector<BanStore::Ban> rows = store.Rows(arguments.network, &error);
  if (!error.empty()) {
    err << "brelvint: cannot read the bans in " << store.File().string() << ": " << error << '\n';
    return 1;
  }
  if (rows.empty()) {
    out << "No bans stored"
        << (arguments.network.empty() ? "" : " for network " + arguments.network) << ".\n";
    return 0;
  }
  PrintTable(rows, out);
  return 0;
}

// The log a lift is written to: --log-file, else the one the running (or
// last) server named in its lock file; none: standard output only.
std::optional<std::filesystem::path> LogFile(const std::filesystem::path& folder,
                                             const Arguments& arguments) {
  if (arguments.log_file) return arguments.log_file;
  std::string noted = FolderLock::Noted(folder);
  noted.erase(std::find(noted.begin(), noted.end(), '\n'), noted.end());
  if (noted.empty()) return std::nullopt;
  return std::filesystem::path(noted);
}

int Lift(BanStore& store, const std::filesystem::path& folder, const Arguments& arguments,
         std::ostream& err) {
  store.SetBusyTimeout(kBusyWait);
  std::string error;
  int64_t id = std::stoll(arguments.id);
  auto lifted = store.DeleteAnyNetwork(id, &error);
  if (!error.empty()) {
    err << "brelvint: cannot lift ban " << id << " in " << store.File().string() << ": " << error
        << '\n';
    return 1;
  }
  if (!lifted) {
    err << "brelvint: no ban " << id << " in " << store.File().string()
        << " (brelvint bans list shows them)\n";
    return 1;
  }
  // The running server's log, as its administrators' lifts are; the line
  // goes to standard output as well.
  if (auto log = LogFile(folder, arguments)) modGlobal::SetLogFile(*log);
  modGlobal::LogMessage(
      BanStore::LiftLine(*lifted,
                         "operator " + modGlobal::EscapeForLog(ControlCommand::OperatorName()) +
                             " (brelvint bans lift)",
                         modGlobal::EscapeForLog(lifted->network)));
  return 0;
}

// While a server runs on the folder, it is asked instead of the database:
// it knows the bans on their way to the database as well, and logs a lift
// in its own log. None when no server runs (the caller goes to the
// database itself); otherwise the command's exit status.
std::optional<int> AskRunningServer(const Arguments& arguments, const std::filesystem::path& folder,
                                    std::ostream& out, std::ostream& err) {
  OperatorActions::Request request;
  request.command = arguments.action == "list" ? "bans" : "lift";
  request.network = arguments.network;
  if (arguments.action == "lift") request.id = std::stoll(arguments.id);
  request.source = "brelvint bans lift";
  return ControlCommand::AskAndPrint(folder, request, out, err);
}

}  // namespace

int BanCommand::Run(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err) {
  Arguments parsed;
  if (!Parse(arguments, &parsed)) {
    err << kUsage;
    return 2;
  }
  if (parsed.data_dir) Paths::SetDataFolder(*parsed.data_dir);
  auto folder = Paths::DataFolder();
  if (!folder) {
    err << "brelvint: cannot find the executable's folder\n";
    return 1;
  }
  auto log = parsed.action == "lift" ? LogFile(*folder, parsed) : std::nullopt;
  if (auto refusal = WriteRefusal(*folder, log, arguments)) {
    err << *refusal;
    return 1;
  }
  if (auto status = AskRunningServer(parsed, *folder, out, err)) return *status;
  const std::filesystem::path file = *folder / BanStore::kFileName;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    // Nothing is created: a mistyped folder must not gain a database.
    if (parsed.action == "list") {
      out << "No bans stored (" << file.string() << " does not exist).\n";
      return 0;
    }
    err << "brelvint: no ban database at " << file.string() << '\n';
    return 1;
  }
  try {
    BanStore store(file);
    if (parsed.action == "list") return List(store, parsed, out, err);
    return Lift(store, *folder, parsed, err);
  } catch (const std::exception& failure) {
    err << "brelvint: " << failure.what() << '\n';
    return 1;
  }
}

}  // namespace brelvint
