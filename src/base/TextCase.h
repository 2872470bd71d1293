#pragma once

#include <string>
#include <string_view>

namespace brelvint {

// Letter-case rules for names: the service compares network names, user
// names, addresses and XML element names without regard to ASCII letter
// case.
class TextCase {
 public:
  static bool Equal(std::string_view a, std::string_view b);
  static std::string Lower(std::string_view text);
  // A hash that agrees with Equal, for maps keyed by names.
  static size_t Hash(std::string_view text);

  struct Hasher {
    size_t operator()(std::string_view text) const { return Hash(text); }
  };
  struct EqualTo {
    bool operator()(std::string_view a, std::string_view b) const { return Equal(a, b); }
  };
};

}  // namespace brelvint
