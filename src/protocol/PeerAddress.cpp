#include "protocol/PeerAddress.h"

#include <boost/asio/ip/address.hpp>

namespace brelvint {

namespace {

asio::ip::address Unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

}  // namespace

std::string PeerAddress::Text(const asio::ip::address& address) {
  return Unmapped(address).to_string();
}

std::string PeerAddress::CountingKey(const asio::ip::address& given) {
  asio::ip::address address = Unmapped(given);
  if (!address.is_v6()) return address.to_string();
  auto bytes = address.to_v6().to_bytes();
  for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return asio::ip::address_v6(bytes).to_string() + "/64";
}

std::string PeerAddress::CountingKey(const std::string& text) {
  boost::system::error_code ec;
  auto address = asio::ip::make_address(text, ec);
  return ec ? text : CountingKey(address);
}

bool PeerAddress::IsLoopback(const std::string& text) {
  boost::system::error_code ec;
  auto address = asio::ip::make_address(text, ec);
  return !ec && Unmapped(address).is_loopback();
}

}  // namespace brelvint
