#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "service/App.h"
#include "service/BanCommand.h"
#include "service/ConfigCheck.h"
#include "service/ControlCommand.h"

namespace {

constexpr const char kUsage[] =
    "Usage: brelvint [--data-dir DIR] [--log-file FILE] [--check]\n"
    "       brelvint bans list [--network NAME] [--data-dir DIR]\n"
    "       brelvint bans lift ID [--data-dir DIR] [--log-file FILE]\n"
    "       brelvint kick NAME [--network NAME] [--reason TEXT] [--data-dir DIR]\n"
    "       brelvint ban NAME [--network NAME] [--reason TEXT] [--minutes N] [--data-dir DIR]\n"
    "       brelvint lift ID [--data-dir DIR] [--log-file FILE]\n"
    "       brelvint broadcast TEXT [--network NAME | --all] [--data-dir DIR]\n"
    "       brelvint members [--network NAME] [--data-dir DIR]\n"
    "       brelvint --help | --version\n"
    "\n"
    "Runs the Brelvint position-sharing server in the foreground until SIGTERM or SIGINT;\n"
    "SIGHUP rereads the settings and the network files.\n"
    "\n"
    "  --data-dir DIR  the folder holding brelvint.conf, brelvint-server/ and brelvint.db\n"
    "                  (default: the executable's folder)\n"
    "  --log-file FILE the log file (default: ~/com.brelvint.log); the previous run's log\n"
    "                  is kept as FILE.1\n"
    "  --check         read the settings and every network file as a start would, write\n"
    "                  nothing, print each network, every problem and every warning;\n"
    "                  exit 0 unless a problem was found (a warning, such as a port\n"
    "                  another program holds, does not count)\n"
    "  --version       print the version and exit\n"
    "  --help          print this text and exit\n"
    "\n"
    "The log also goes to standard output.\n"
    "\n"
    "bans list prints the stored bans (of one network with --network); bans lift\n"
    "lifts ban ID and logs it in the server's log. Both work while the server runs,\n"
    "through it when it does.\n"
    "\n"
    "kick, ban, lift, broadcast and members act on the running server through its\n"
    "control socket (brelvint.sock in the data folder), which only an account that\n"
    "can write the data folder may use. --network names the network (needed when\n"
    "the server has more than one); --reason is told to the member and logged;\n"
    "ban --minutes N (1 to 525600) ends the ban after N minutes (without it, never);\n"
    "broadcast --all reaches every network. Each action is logged naming the\n"
    "operator (SUDO_USER, else the account). Exit status: 0 done, 1 no such member,\n"
    "network or ban, or the server is not running, 2 a usage error.\n";

struct Options {
  bool help = false;
  bool version = false;
  bool check = false;
  std::optional<std::filesystem::path> data_dir;
  std::optional<std::filesystem::path> log_file;
};

// The value of `--name VALUE` or `--name=VALUE` at argv[*i] (advancing *i
// past a separate value); none when argv[*i] is not that option or the
// value is missing or empty.
std::optional<std::string> OptionValue(int argc, char** argv, int* i, const std::string& name) {
  std::string argument = argv[*i];
  if (argument == name && *i + 1 < argc && argv[*i + 1][0] != '\0') return argv[++*i];
  if (argument.rfind(name + "=", 0) == 0 && argument.size() > name.size() + 1) {
    return argument.substr(name.size() + 1);
  }
  return std::nullopt;
}

// Made absolute now: the service's paths must not move with the working
// directory.
std::filesystem::path Absolute(const std::filesystem::path& path) {
  std::error_code ec;
  auto absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal();
}

// False (one line on standard error) when the arguments are not understood.
bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      options->help = true;
    } else if (argument == "--version") {
      options->version = true;
    } else if (argument == "--check") {
      options->check = true;
    } else if (auto data_dir = OptionValue(argc, argv, &i, "--data-dir")) {
      options->data_dir = *data_dir;
    } else if (auto log_file = OptionValue(argc, argv, &i, "--log-file")) {
      options->log_file = *log_file;
    } else {
      std::fprintf(stderr, "brelvint: unknown option or missing value: %s (see brelvint --help)\n",
                   argument.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "bans") {
    std::setlocale(LC_TIME, "");
    return brelvint::BanCommand::Run(std::vector<std::string>(argv + 2, argv + argc), std::cout,
                                     std::cerr);
  }
  if (argc > 1 && brelvint::ControlCommand::Handles(argv[1])) {
    std::setlocale(LC_TIME, "");
    std::signal(SIGPIPE, SIG_IGN);
    return brelvint::ControlCommand::Run(argv[1], std::vector<std::string>(argv + 2, argv + argc),
                                         std::cout, std::cerr);
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("brelvint %s\n", BRELVINT_VERSION);
    return 0;
  }
  if (options.data_dir) brelvint::Paths::SetDataFolder(Absolute(*options.data_dir));
  if (options.log_file) brelvint::modGlobal::SetLogFile(Absolute(*options.log_file));
  if (options.check) {
    auto folder = brelvint::Paths::DataFolder();
    if (!folder) {
      std::fputs("brelvint: cannot find the executable's folder\n", stderr);
      return 1;
    }
    return brelvint::ConfigCheck::Run(*folder, std::cout);
  }
  // A peer that vanishes mid-write must end its connection, not the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Log lines carry the host locale's short date and time forms.
  std::setlocale(LC_TIME, "");
  int status = brelvint::TheApp().Run();
  std::fflush(stdout);
  std::fflush(stderr);
  // Nothing is torn down at exit: thousands of connections need no
  // destructor pass, and the files were written when they changed.
  _exit(status);
}
