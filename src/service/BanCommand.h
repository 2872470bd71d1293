#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace brelvint {

// `brelvint bans list [--network NAME] [--data-dir DIR]` prints the bans as
// a table; `brelvint bans lift ID [--data-dir DIR] [--log-file FILE]` lifts
// one. While a server runs on the folder both go through it (its control
// socket, see ControlCommand): it lists the bans it has recorded and not
// yet written (an operator's session holding the database), marked as not
// yet stored, lifts them as well as stored ones, and logs the lift in its
// own log. With no server running they read and change the database
// directly, and a lift is logged in the last server's log, which that
// server named in its lock file, as an administrator's lift is: the one
// record of who let an address back in.
// As root on a data folder (or log folder) another account owns, both
// refuse, naming the `sudo -u` command to run instead.
class BanCommand {
 public:
  static constexpr const char kUsage[] =
      "Usage: brelvint bans list [--network NAME] [--data-dir DIR]\n"
      "       brelvint bans lift ID [--data-dir DIR] [--log-file FILE]\n";

  // `arguments` are those after "bans". Returns the exit status: 0 done,
  // 1 failed (no such ban, a database that cannot be read or written), 2
  // arguments not understood.
  static int Run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
};

}  // namespace brelvint
