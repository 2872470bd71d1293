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
};

}  // namespace brelvint
