#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "service/OperatorActions.h"

namespace brelvint {

// The operator's side of the control socket: `brelvint kick`, `ban`,
// `lift`, `broadcast` and `members`, each a process of its own that asks
// the running server in its data folder (see ControlSocket) and prints
// the answer, client text escaped as the log escapes it. `lift` falls back
// to the database itself (BanCommand) when no server runs. Also the way
// BanCommand asks the running server first.
class ControlCommand {
 public:
  static constexpr const char kUsage[] =
      "Usage: brelvint kick NAME [--network NAME] [--reason TEXT] [--data-dir DIR]\n"
      "       brelvint ban NAME [--network NAME] [--reason TEXT] [--minutes N] [--data-dir DIR]\n"
      "       brelvint lift ID [--data-dir DIR] [--log-file FILE]\n"
      "       brelvint broadcast TEXT [--network NAME | --all] [--data-dir DIR]\n"
      "       brelvint members [--network NAME] [--data-dir DIR]\n";
  static constexpr const char kNotRunning[] = "the server is not running (nothing answers on {})";
  static constexpr int kAnswerTimeoutSeconds = 15;

  // True for the commands Run serves.
  static bool Handles(const std::string& command);
  // `arguments` are those after the command's name. Returns the exit
  // status: 0 done, 1 the member, network or ban does not exist, the
  // server is not running or could not be asked (a line says which), 2
  // arguments not understood.
  static int Run(const std::string& command, const std::vector<std::string>& arguments,
                 std::ostream& out, std::ostream& err);

  enum class Reach { kAnswered, kNotRunning, kFailed };
  // Sends `request` to the server holding `folder` and reads its answer
  // into `outcome`. kNotRunning when nothing listens on the socket;
  // kFailed with `why` set when the socket refused us or the answer did
  // not come.
  static Reach Ask(const std::filesystem::path& folder, const OperatorActions::Request& request,
                   OperatorActions::Outcome* outcome, std::string* why);
  // Asks as Ask does and prints the answer, or the line saying why it did
  // not come; returns the command's exit status, or none when no server
  // runs (the caller may then act on the folder itself).
  static std::optional<int> AskAndPrint(const std::filesystem::path& folder,
                                        const OperatorActions::Request& request, std::ostream& out,
                                        std::ostream& err);
  // Prints an answer (its table padded, cells escaped; a failure's line on
  // `err`); returns its status.
  static int Print(const OperatorActions::Outcome& outcome, std::ostream& out, std::ostream& err);
  // SUDO_USER when set, else the account the process runs as.
  static std::string OperatorName();
};

}  // namespace brelvint
