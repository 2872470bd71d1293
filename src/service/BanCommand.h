#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace brelvint {

// `brelvint bans list [--network NAME] [--data-dir DIR]` prints the bans as
// a table; `brelvint bans lift ID [--data-dir DIR] [--log-file FILE]` lifts
// one. Both work beside a running server (the database runs in
// write-ahead-log mode), which honours a lift at the next connection since
// it asks the database. The bans the running server has recorded and not
// yet written (an operator's session holding the database) are listed too,
// marked as not yet stored, from the list its writer keeps in the data
// folder; such a ban is lifted by the server itself, asked through a
// LiftRequest. A lift is logged in the running (or last) server's log,
// which that server names in its lock file, as an administrator's lift is:
// the one record of who let an address back in.
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
