#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brelvint {

// One host network interface that is up and carries an IPv4 address.
class NetworkInterface {
 public:
  // The "AttachedNIC" value that always means the loopback interface.
  static constexpr const char kLoopbackMac[] = "00:00:00:00:00:00";

  std::string Name;        // kernel name, e.g. "eth0" (or an alias label, "eth0:1")
  std::string MACAddress;  // "aa:bb:cc:dd:ee:ff", lower case; kLoopbackMac when it has none
  std::string IPv4;        // first IPv4 address, dotted
  unsigned Index = 0;      // kernel interface index
  bool IsLoopback = false;
  // False for interfaces without a hardware address of their own: tunnels,
  // VPNs, PPP links and IPv4 alias labels.
  bool HasLinkAddress = false;

  // The usable interfaces in a stable order: kernel index order, interfaces
  // with a hardware address first, then those without one, loopback last,
  // so "interface 0" is the host's first real NIC when it has one.
  static std::vector<NetworkInterface> List();

  // The interface an "AttachedNIC" value names among `interfaces`:
  // kLoopbackMac is the loopback interface whatever else is listed (the
  // operator asked for a private server, so it never falls back to another
  // interface or to every address); any other value is the first interface
  // with that hardware address, ignoring letter case. None when nothing
  // matches.
  static std::optional<NetworkInterface> Choose(const std::vector<NetworkInterface>& interfaces,
                                                const std::string& macAddress);
};

namespace modGlobal {
// NetworkInterface::Choose over the host's interfaces.
std::optional<NetworkInterface> NICByMac(const std::string& macAddress);
}  // namespace modGlobal

}  // namespace brelvint
