#pragma once

#include <cstddef>
#include <string_view>

namespace brelvint {

// UTF-8 rules for client text: user names must be well formed, and log
// lines show malformed bytes as escapes rather than pass them on.
class TextUtf8 {
 public:
  // Well-formed UTF-8: no overlong forms, no surrogates, nothing past
  // U+10FFFF, no sequence cut short.
  static bool IsValid(std::string_view text);
  // Length in bytes (1 to 4) of the well-formed character that starts at
  // `text[at]`; 0 when the bytes there are not one.
  static size_t SequenceLength(std::string_view text, size_t at);
};

}  // namespace brelvint
