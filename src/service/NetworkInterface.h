#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brelvint {

// One host network interface that is up and carries an IPv4 address.
class NetworkInterface {
 public:
  std::string Name;        // kernel name, e.g. "eth0"
  std::string MACAddress;  // "aa:bb:cc:dd:ee:ff", lower case; loopback "00:00:00:00:00:00"
  std::string IPv4;        // first IPv4 address, dotted
  unsigned Index = 0;      // kernel interface index

  // The usable interfaces in a stable order: kernel index order,
  // non-loopback ones first and loopback last, so "interface 0" is the
  // host's first real NIC when it has one.
  static std::vector<NetworkInterface> List();
};

namespace modGlobal {
// The first interface whose MACAddress equals `macAddress` ignoring letter
// case; none when nothing matches.
std::optional<NetworkInterface> NICByMac(const std::string& macAddress);
}  // namespace modGlobal

}  // namespace brelvint
