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

bool TextUtf8::IsValid(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace brelvint
