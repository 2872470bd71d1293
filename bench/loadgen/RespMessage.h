#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace brelvint {

// One Redis reply or push as the load generator meets them: a simple line
// (+, -), an integer (:), a bulk string ($) or an array of up to three bulk
// strings or integers (subscribe confirmations and published messages).
// Views point into the caller's buffer.
struct RespMessage {
  static constexpr size_t kMaxItems = 3;
  static constexpr int64_t kMaxBulkLength = 65536;

  char type = 0;
  std::string_view text;  // the line, the bulk string, or the integer's digits
  std::array<std::string_view, kMaxItems> items;
  size_t item_count = 0;
};

// Appends a command as an array of bulk strings.
void AppendRespCommand(std::string* out, std::initializer_list<std::string_view> arguments);

// Reads one message at the front of [data, data + size). Returns the bytes it
// spans, 0 when it is not complete yet, or nullopt when it is malformed or of
// a shape this client never asks for (nested arrays, nil, long arrays).
std::optional<size_t> ParseRespMessage(const char* data, size_t size, RespMessage* message);

}  // namespace brelvint
