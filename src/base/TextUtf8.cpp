#include "base/TextUtf8.h"

#include <cstdint>

namespace brelvint {

size_t TextUtf8::SequenceLength(std::string_view text, size_t at) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(at);
  size_t length;
  uint32_t code;
  if (lead < 0x80) {
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + k) & 0x3F);
  }
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

char32_t TextUtf8::CodePoint(std::string_view text, size_t at, size_t length) {
  static const unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t code = static_cast<unsigned char>(text[at]) & kLeadMask[length];
  for (size_t k = 1; k < length; ++k) {
    code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  }
  return code;
}

bool TextUtf8::IsHiddenFormat(char32_t code) {
  struct Range {
    char32_t first;
    char32_t last;
  };
  static constexpr Range kRanges[] = {
      {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
      {0x070F, 0x070F},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
      {0x2060, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
      {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
  };
  for (const Range& range : kRanges) {
    if (code >= range.first && code <= range.last) return true;
  }
  return false;
}

bool TextUtf8::IsValid(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace brelvint
