#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brelvint {

// One Brelvint packet: a 4-byte big-endian total length (header included),
// a 4-byte big-endian command number, then the payload.
struct BrelvintPacket {
  static constexpr size_t kHeaderSize = 8;
  static constexpr int32_t kMaxTotalLength = 65536;

  int32_t command = 0;
  std::string_view payload;  // points into the caller's buffer
};

// Appends one packet to `out`.
void AppendBrelvintPacket(std::string* out, int32_t command, std::string_view payload);

// Writes the report text the load generator sends, "X,Y,Facet,HP,InBattle,IsDead",
// with X the send time, Y the sequence number and Facet the reporter, into
// out (at least kMaxReportText bytes); returns its length.
constexpr size_t kMaxReportText = 80;
size_t FormatReportText(char* out, int64_t send_us, int64_t sequence, uint32_t reporter);

// Reads one packet at the front of [data, data + size). Returns the bytes it
// spans, 0 when the packet is not complete yet, or nullopt when the length
// field is impossible (under the header size or over kMaxTotalLength), after
// which the stream cannot be resynchronised.
std::optional<size_t> ParseBrelvintPacket(const char* data, size_t size, BrelvintPacket* packet);

}  // namespace brelvint
