#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brelvint {

// The wire format of one message: a big-endian signed 32-bit total length
// (payload bytes plus the 8-byte header), a big-endian signed 32-bit
// command, then the payload bytes unchanged. Pure functions, no I/O.
class PacketFramer {
 public:
  static constexpr size_t kHeaderSize = 8;
  // The largest total length we accept. Map tools send a few dozen bytes;
  // anything bigger is hostile or broken and closes the connection rather
  // than being buffered.
  static constexpr int64_t kMaxTotalLength = 65536;

  enum class Result { kPacket, kNeedMore, kBadLength };

  // Looks at the start of `buffer`. kPacket: a whole packet is there, and
  // `command`, `payload` (a view into `buffer`) and `consumed` describe it.
  // kNeedMore: fewer bytes than the header or the announced length.
  // kBadLength: the length field is below 8 or above kMaxTotalLength.
  static Result Next(std::string_view buffer, int32_t* command, std::string_view* payload,
                     size_t* consumed);

  static std::string CreatePacket(int32_t command, std::string_view data);
  static void AppendPacket(std::string& out, int32_t command, std::string_view data);
  static void AppendHeader(std::string& out, int32_t command, size_t payload_size);
  // The header alone, into the kHeaderSize bytes at `out`.
  static void WriteHeader(char* out, int32_t command, size_t payload_size);
};

}  // namespace brelvint
