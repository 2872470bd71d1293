#include "BrelvintPacket.h"

#include <fmt/format.h>

namespace brelvint {

namespace {

void AppendBigEndian32(std::string* out, uint32_t value) {
  char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                   static_cast<char>(value >> 8), static_cast<char>(value)};
  out->append(bytes, sizeof bytes);
}

int32_t ReadBigEndian32(const char* data) {
  auto byte = [data](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(data[i])); };
  return static_cast<int32_t>(byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3));
}

}  // namespace

void AppendBrelvintPacket(std::string* out, int32_t command, std::string_view payload) {
  AppendBigEndian32(out, static_cast<uint32_t>(payload.size() + BrelvintPacket::kHeaderSize));
  AppendBigEndian32(out, static_cast<uint32_t>(command));
  out->append(payload.data(), payload.size());
}

size_t FormatReportText(char* out, int64_t send_us, int64_t sequence, uint32_t reporter) {
  return fmt::format_to_n(out, kMaxReportText, "{},{},{},1,0,0", send_us, sequence, reporter).size;
}

std::optional<size_t> ParseBrelvintPacket(const char* data, size_t size, BrelvintPacket* packet) {
  if (size < BrelvintPacket::kHeaderSize) return 0;
  int32_t total = ReadBigEndian32(data);
  if (total < static_cast<int32_t>(BrelvintPacket::kHeaderSize) ||
      total > BrelvintPacket::kMaxTotalLength) {
    return std::nullopt;
  }
  auto length = static_cast<size_t>(total);
  if (size < length) return 0;
  packet->command = ReadBigEndian32(data + 4);
  packet->payload =
      std::string_view(data + BrelvintPacket::kHeaderSize, length - BrelvintPacket::kHeaderSize);
  return length;
}

}  // namespace brelvint
