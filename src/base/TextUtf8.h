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
  // The code point of the well-formed character of `length` bytes
  // (SequenceLength) that starts at `text[at]`.
  static char32_t CodePoint(std::string_view text, size_t at, size_t length);
  // True for the characters that change how the text around them shows
  // without showing themselves: the Unicode format characters (category
  // Cf: soft hyphen, zero-width spaces and joiners, direction marks,
  // embeddings, overrides and isolates, word joiner and invisible
  // operators, the byte order mark, tags) and the line and paragraph
  // separators U+2028 and U+2029, which some viewers take as a line break.
  // A name holding one can pass for another (`admin` + U+202E + `txt.exe`
  // reads "adminexe.txt"), and a log line holding one can forge another.
  static bool IsHiddenFormat(char32_t code);
};

}  // namespace brelvint
