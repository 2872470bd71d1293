#include "service/NetworkInterface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <map>

#include <fmt/format.h>

namespace brelvint {

namespace {

struct Found {
  std::string mac = "00:00:00:00:00:00";
  std::string ipv4;
  bool up = false;
  bool loopback = false;
};

std::string MacText(const sockaddr_ll& link) {
  if (link.sll_halen != 6) return "00:00:00:00:00:00";
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
      found.mac = MacText(*reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr));
    } else if (entry->ifa_addr->sa_family == AF_INET && found.ipv4.empty()) {
      char text[INET_ADDRSTRLEN] = {};
      const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      found.ipv4 = text;
    }
  }
  freeifaddrs(list);

  std::vector<std::pair<bool, NetworkInterface>> usable;
  for (const auto& [name, found] : by_name) {
    if (!found.up || found.ipv4.empty()) continue;
    NetworkInterface nic;
    nic.Name = name;
    nic.MACAddress = found.loopback ? "00:00:00:00:00:00" : found.mac;
    nic.IPv4 = found.ipv4;
    nic.Index = if_nametoindex(name.c_str());
    usable.emplace_back(found.loopback, std::move(nic));
  }
  std::sort(usable.begin(), usable.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return !a.first;
    return a.second.Index < b.second.Index;
  });
  std::vector<NetworkInterface> result;
  for (auto& entry : usable) result.push_back(std::move(entry.second));
  return result;
}

namespace modGlobal {

std::optional<NetworkInterface> NICByMac(const std::string& macAddress) {
  for (auto& nic : NetworkInterface::List()) {
    if (strcasecmp(nic.MACAddress.c_str(), macAddress.c_str()) == 0) return nic;
  }
  return std::nullopt;
}

}  // namespace modGlobal
}  // namespace brelvint
