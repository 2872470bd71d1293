#pragma once

#include <string>

namespace brelvint {

class HttpClient;

// Where new connections are looked up: the HTTP client and the base URL of
// the location service ("http://host:port"). An empty base or a null client
// skips the lookup. Owned by whoever makes the
// connections (App), and read by each connection as it starts, so a change
// applies to the connections made after it.
struct LookupServices {
  HttpClient* Http = nullptr;
  std::string LocationService;
};

}  // namespace brelvint
