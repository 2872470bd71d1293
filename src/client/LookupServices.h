#pragma once

#include <string>

namespace brelvint {

class HttpClient;

// Where new connections are looked up: the HTTP client and the base URLs of
// the location and flag services ("http://host:port"). An empty base skips
// that request; a null client skips both. Owned by whoever makes the
// connections (App), and read by each connection as it starts, so a change
// applies to the connections made after it.
struct LookupServices {
  HttpClient* Http = nullptr;
  std::string LocationService;
  std::string FlagService;
};

}  // namespace brelvint
