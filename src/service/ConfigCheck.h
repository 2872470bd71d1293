#pragma once

#include <filesystem>
#include <iosfwd>

namespace brelvint {

// `brelvint --check`: reads the settings and every network file of a data
// folder the way a start would, writes nothing (no log, no settings, no
// folder), and prints each network with the address and port it would
// listen on, then every problem a start would meet: a file that cannot be
// parsed, a network name defined twice, a port shared or unusable, an
// "AttachedNIC" no interface has, a port another program holds.
class ConfigCheck {
 public:
  // Prints the report to `out`; 0 when no problem was found, else 1.
  static int Run(const std::filesystem::path& folder, std::ostream& out);
};

}  // namespace brelvint
