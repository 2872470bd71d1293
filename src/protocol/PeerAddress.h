#pragma once

#include <boost/asio/ip/address.hpp>
#include <string>

#include "protocol/Asio.h"

namespace brelvint {

// How the service names a peer's address, in the log and when it counts
// what one source may hold. Pure functions, no I/O.
class PeerAddress {
 public:
  // The address as the log shows it: an IPv4 peer reaching an IPv6 socket
  // ("::ffff:10.0.0.1") is shown as the IPv4 address it is.
  static std::string Text(const asio::ip::address& address);
  // The source that per-address limits count: the address itself for IPv4,
  // its /64 for IPv6 ("2001:db8:1:2::/64"), since one host is routinely
  // given a whole /64 and could otherwise take a fresh address per
  // connection. `text` is an address as Text gives it; text that is not an
  // address is its own key.
  static std::string CountingKey(const std::string& text);
  static std::string CountingKey(const asio::ip::address& address);
  // True for 127.0.0.0/8 and ::1: the machine itself.
  static bool IsLoopback(const std::string& text);
};

}  // namespace brelvint
