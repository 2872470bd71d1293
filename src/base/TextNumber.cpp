#include "base/TextNumber.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brelvint {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Length of the numeral at the start of `text` (0 when there is none).
size_t NumeralLength(std::string_view text, bool* negative, std::string_view* integer,
                     std::string_view* fraction) {
  size_t i = 0;
  *negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    *negative = text[i] == '-';
    ++i;
  }
  size_t int_start = i;
  while (i < text.size() && IsDigit(text[i])) ++i;
  *integer = text.substr(int_start, i - int_start);
  *fraction = {};
  if (i < text.size() && text[i] == '.') {
    size_t frac_start = i + 1;
    size_t j = frac_start;
    while (j < text.size() && IsDigit(text[j])) ++j;
    if (j > frac_start || !integer->empty()) {
      *fraction = text.substr(frac_start, j - frac_start);
      i = j;
    }
  }
  if (integer->empty() && fraction->empty()) return 0;
  return i;
}

}  // namespace

int64_t TextNumber::Leading(std::string_view text) {
  bool negative;
  std::string_view integer, fraction;
  if (NumeralLength(text, &negative, &integer, &fraction) == 0) return 0;
  uint64_t value = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (char c : integer) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  if (negative)
    return value == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                        : -static_cast<int64_t>(value);
  return static_cast<int64_t>(value);
}

double TextNumber::LeadingReal(std::string_view text) {
  bool negative;
  std::string_view integer, fraction;
  if (NumeralLength(text, &negative, &integer, &fraction) == 0) return 0.0;
  double value = 0.0;
  for (char c : integer) value = value * 10.0 + (c - '0');
  double scale = 0.1;
  for (char c : fraction) {
    value += (c - '0') * scale;
    scale /= 10.0;
  }
  return negative ? -value : value;
}

bool TextNumber::IsNumeric(std::string_view text) {
  bool negative;
  std::string_view integer, fraction;
  return !text.empty() && NumeralLength(text, &negative, &integer, &fraction) == text.size();
}

bool TextNumber::IsWholeNumber(std::string_view text) {
  return !text.empty() && text.size() <= 18 && std::all_of(text.begin(), text.end(), IsDigit);
}

}  // namespace brelvint
