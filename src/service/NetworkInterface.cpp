#include "service/NetworkInterface.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <map>

namespace brelvint {

namespace {

struct Found {
  std::string mac = NetworkInterface::kLoopbackMac;
  bool has_link_address = false;
  std::string ipv4;
  bool up = false;
  bool loopback = false;
};

// An Ethernet-style address; tunnels report none, or one of another
// length, and some virtual devices an all-zero one.
bool HasMac(const sockaddr_ll& link) {
  if (link.sll_halen != 6) return false;
  for (int i = 0; i < 6; ++i) {
    if (link.sll_addr[i] != 0) return true;
  }
  return false;
}

std::string MacText(const sockaddr_ll& link) {
  const unsigned char* a = link.sll_addr;
  return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", a[0], a[1], a[2], a[3], a[4],
                     a[5]);
}

}  // namespace

std::vector<NetworkInterface> NetworkInterface::List() {
  std::map<std::string, Found> by_name;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr) continue;
    Found& found = by_name[entry->ifa_name];
    found.up = found.up || (entry->ifa_flags & IFF_UP) != 0;
    found.loopback = found.loopback || (entry->ifa_flags & IFF_LOOPBACK) != 0;
    if (entry->ifa_addr == nullptr) continue;
    if (entry->ifa_addr->sa_family == AF_PACKET) {
      const auto& link = *reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      found.has_link_address = HasMac(link);
      if (found.has_link_address) found.mac = MacText(link);
    } else if (entry->ifa_addr->sa_family == AF_INET && found.ipv4.empty()) {
      char text[INET_ADDRSTRLEN] = {};
      const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      found.ipv4 = text;
    }
  }
  freeifaddrs(list);

  std::vector<NetworkInterface> usable;
  for (const auto& [name, found] : by_name) {
    if (!found.up || found.ipv4.empty()) continue;
    NetworkInterface nic;
    nic.Name = name;
    nic.IsLoopback = found.loopback;
    // An alias label ("eth0:1") has no link entry of its own.
    nic.HasLinkAddress = found.has_link_address && !found.loopback;
    nic.MACAddress = nic.HasLinkAddress ? found.mac : kLoopbackMac;
    nic.IPv4 = found.ipv4;
    nic.Index = if_nametoindex(name.c_str());
    usable.push_back(std::move(nic));
  }
  auto rank = [](const NetworkInterface& nic) {
    return nic.IsLoopback ? 2 : nic.HasLinkAddress ? 0 : 1;
  };
  std::stable_sort(usable.begin(), usable.end(), [&](const auto& a, const auto& b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    return a.Index < b.Index;
  });
  return usable;
}

std::optional<NetworkInterface> NetworkInterface::Choose(
    const std::vector<NetworkInterface>& interfaces, const std::string& macAddress) {
  bool loopback = strcasecmp(macAddress.c_str(), kLoopbackMac) == 0;
  for (const auto& nic : interfaces) {
    if (loopback
            ? nic.IsLoopback
            : nic.HasLinkAddress && strcasecmp(nic.MACAddress.c_str(), macAddress.c_str()) == 0) {
      return nic;
    }
  }
  if (!loopback) return std::nullopt;
  // No loopback interface is up: still bind its address rather than every
  // address, so a private server stays private (or fails to start).
  NetworkInterface fallback;
  fallback.Name = "lo";
  fallback.MACAddress = kLoopbackMac;
  fallback.IPv4 = "127.0.0.1";
  fallback.IsLoopback = true;
  return fallback;
}

namespace modGlobal {

std::optional<NetworkInterface> NICByMac(const std::string& macAddress) {
  return NetworkInterface::Choose(NetworkInterface::List(), macAddress);
}

}  // namespace modGlobal
}  // namespace brelvint
