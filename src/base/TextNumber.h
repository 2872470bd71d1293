#pragma once

#include <cstdint>
#include <string_view>

namespace brelvint {

// Numbers and flags as the service reads them from files and payloads.
class TextNumber {
 public:
  // The leading decimal numeral of `text` (an optional sign, digits, an
  // optional fraction), truncated toward zero; 0 when the text does not
  // start with one. "25.9" reads 25, "-3.7" reads -3, "" and "abc" read 0.
  // Out-of-range values saturate.
  static int64_t Leading(std::string_view text);
  // The same numeral kept with its fraction: "0.5" reads 0.5.
  static double LeadingReal(std::string_view text);
  // A flag in a file: true exactly when the leading number is 1.
  static bool FileFlag(std::string_view text) { return Leading(text) == 1; }
  // True when the whole text is a number ("7", "007", "-2", "1.5").
  static bool IsNumeric(std::string_view text);
  // True when the text is 1 to 18 decimal digits and nothing else (a ban
  // number or a count on the command line: no sign, no fraction, and small
  // enough for an int64_t).
  static bool IsWholeNumber(std::string_view text);
};

}  // namespace brelvint
