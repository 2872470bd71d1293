#include "protocol/PacketFramer.h"

namespace brelvint {

namespace {

int32_t ReadInt32(std::string_view bytes) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])); };
  return static_cast<int32_t>((b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3));
}

}  // namespace

PacketFramer::Result PacketFramer::Next(std::string_view buffer, int32_t* command,
                                        std::string_view* payload, size_t* consumed) {
  // A partial length field waits: reading it early would misjudge a
  // well-formed stream that merely arrived in small pieces.
  if (buffer.size() < 4) return Result::kNeedMore;
  int64_t total = ReadInt32(buffer);
  if (total < static_cast<int64_t>(kHeaderSize) || total > kMaxTotalLength) {
    return Result::kBadLength;
  }
  if (buffer.size() < static_cast<size_t>(total)) return Result::kNeedMore;
  *command = ReadInt32(buffer.substr(4));
  *payload = buffer.substr(kHeaderSize, static_cast<size_t>(total) - kHeaderSize);
  *consumed = static_cast<size_t>(total);
  return Result::kPacket;
}

void PacketFramer::WriteHeader(char* out, int32_t command, size_t payload_size) {
  for (uint32_t value :
       {static_cast<uint32_t>(payload_size + kHeaderSize), static_cast<uint32_t>(command)}) {
    *out++ = static_cast<char>(value >> 24);
    *out++ = static_cast<char>(value >> 16);
    *out++ = static_cast<char>(value >> 8);
    *out++ = static_cast<char>(value);
  }
}

void PacketFramer::AppendHeader(std::string& out, int32_t command, size_t payload_size) {
  char header[kHeaderSize];
  WriteHeader(header, command, payload_size);
  out.append(header, kHeaderSize);
}

void PacketFramer::AppendPacket(std::string& out, int32_t command, std::string_view data) {
  AppendHeader(out, command, data.size());
  out.append(data);
}

std::string PacketFramer::CreatePacket(int32_t command, std::string_view data) {
  std::string packet;
  packet.reserve(kHeaderSize + data.size());
  AppendPacket(packet, command, data);
  return packet;
}

}  // namespace brelvint
