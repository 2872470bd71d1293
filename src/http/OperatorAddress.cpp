#include "http/OperatorAddress.h"

#include <arpa/inet.h>

#include <charconv>

#include "base/TextCase.h"

namespace brelvint {

std::optional<OperatorAddress> OperatorAddress::Parse(std::string_view text) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 host needs its brackets
  }
  unsigned value = 0;
  auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (host.empty() || port.empty() || error != std::errc() || end != port.data() + port.size() ||
      value == 0 || value > 65535) {
    return std::nullopt;
  }
  return OperatorAddress{std::string(host), static_cast<uint16_t>(value)};
}

bool OperatorAddress::IsLoopback(std::string_view host) {
  if (TextCase::Equal(host, "localhost")) return true;
  std::string text(host);
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string OperatorAddress::ToString() const {
  bool v6 = Host.find(':') != std::string::npos;
  return (v6 ? "[" + Host + "]" : Host) + ":" + std::to_string(Port);
}

}  // namespace brelvint
