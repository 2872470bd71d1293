#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brelvint {

// Where the operators' endpoint listens, as written in the settings:
// "host:port", with an IPv6 host in brackets ("[::1]:12080"). Pure: no
// name lookup, no I/O.
struct OperatorAddress {
  std::string Host;  // without brackets
  uint16_t Port = 0;

  // Empty when `text` is not "host:port" with a non-empty host and a port
  // from 1 to 65535.
  static std::optional<OperatorAddress> Parse(std::string_view text);

  // True for 127.0.0.0/8, ::1 and "localhost": addresses no other machine
  // can reach, where the endpoint answers without a token.
  static bool IsLoopback(std::string_view host);

  // "host:port" again, with brackets around an IPv6 host.
  std::string ToString() const;
};

}  // namespace brelvint
