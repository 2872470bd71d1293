#pragma once

#include <filesystem>
#include <iosfwd>

namespace brelvint {

// `brelvint --check`: reads the settings and every network file of a data
// folder the way a start would, writes nothing (no log, no settings, no
// folder), and prints each network with the address and port it would
// listen on, then every problem a start or a reload would meet: a file
// that cannot be parsed, a network name defined twice, a port shared or
// unusable, an "AttachedNIC" no interface has. A port another program
// holds is a warning, tried only while no server holds the folder. The
// unit runs it before each reload, so a file that would not load fails the
// reload and the running server keeps what it has.
class ConfigCheck {
 public:
  // Prints the report to `out`; 0 when no problem was found (warnings
  // allowed), else 1.
  static int Run(const std::filesystem::path& folder, std::ostream& out);
};

}  // namespace brelvint
