#include "FuzzTargets.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "client/LocationPage.h"
#include "client/Payload.h"
#include "config/LoadNetworks.h"
#include "config/NetworkFile.h"
#include "config/ServerNetworks.h"
#include "protocol/PacketFramer.h"

namespace brelvint {

namespace {

std::string_view AsText(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// A private folder for the reader's file and the log it writes, emptied of
// log lines now and then so a long run does not fill the disk.
const std::filesystem::path& Scratch() {
  static const std::filesystem::path folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brelvint-fuzz-XXXXXX").string();
    std::filesystem::path made = mkdtemp(pattern.data());
    setenv("HOME", made.c_str(), 1);
    return made;
  }();
  return folder;
}

}  // namespace

void FuzzFraming(const uint8_t* data, size_t size) {
  std::string_view stream = AsText(data, size);
  int32_t command = 0;
  std::string_view payload;
  size_t consumed = 0;
  while (PacketFramer::Next(stream, &command, &payload, &consumed) ==
         PacketFramer::Result::kPacket) {
    if (consumed < PacketFramer::kHeaderSize || consumed > stream.size()) std::abort();
    std::string again = PacketFramer::CreatePacket(command, payload);
    if (again != stream.substr(0, consumed)) std::abort();
    stream.remove_prefix(consumed);
  }
}

void FuzzNetworkFile(const uint8_t* data, size_t size) {
  static unsigned runs = 0;
  const auto& folder = Scratch();
  if (++runs % 4096 == 0) std::filesystem::remove(folder / "com.brelvint.log");
  auto path = folder / "fuzz.conf";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  auto network = modGlobal::ReadNetworkXML(path);
  if (!network) return;
  // A login edit of what was read must keep the file readable. (The
  // service makes it on its writer thread; here, directly.)
  NetworkFile file(path);
  std::string error;
  file.Write({{"fuzz", "127.0.0.1"},
              {network->Users.empty() ? "x" : network->Users.front()->Name, "127.0.0.2"}},
             &error);
  if (!modGlobal::ReadNetworkXML(path)) std::abort();
}

void FuzzPosition(const uint8_t* data, size_t size) {
  Payload::Position position = Payload::ParsePosition(AsText(data, size));
  (void)position;
}

void FuzzAdminPayload(const uint8_t* data, size_t size) {
  std::string name, reason;
  Payload::SplitTarget(AsText(data, size), &name, &reason);
  if (name.size() + reason.size() > size) std::abort();
}

void FuzzLocationPage(const uint8_t* data, size_t size) {
  LocationPage page = LocationPage::Parse(AsText(data, size));
  (void)page;
}

}  // namespace brelvint
