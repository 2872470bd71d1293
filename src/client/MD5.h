#pragma once

#include <string>
#include <string_view>

namespace brelvint {

// The MD5 digest (RFC 1321) through OpenSSL's EVP interface. Map tools
// prove they know a network's password by sending this digest of it.
class MD5 {
 public:
  // The 16 raw digest bytes of `text`.
  static std::string Digest(std::string_view text);
};

}  // namespace brelvint
