#pragma once

#include <cstddef>
#include <cstdint>

namespace brelvint {

// One entry per fuzz target. Each takes arbitrary bytes and must neither
// crash nor read out of bounds; the libFuzzer drivers and the corpus
// regression test both call these.
struct FuzzTarget {
  const char* name;  // also the corpus folder's name
  void (*run)(const uint8_t* data, size_t size);
};

void FuzzFraming(const uint8_t* data, size_t size);
void FuzzNetworkFile(const uint8_t* data, size_t size);
void FuzzPosition(const uint8_t* data, size_t size);
void FuzzAdminPayload(const uint8_t* data, size_t size);
void FuzzLocationPage(const uint8_t* data, size_t size);

inline constexpr FuzzTarget kFuzzTargets[] = {
    {"framing", FuzzFraming},
    {"network_file", FuzzNetworkFile},
    {"position", FuzzPosition},
    {"admin_payload", FuzzAdminPayload},
    {"location_page", FuzzLocationPage},
};

}  // namespace brelvint
