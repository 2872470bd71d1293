#pragma once

#include <time.h>

#include <cstdint>

namespace brelvint {

// Microseconds on CLOCK_MONOTONIC. Reports carry this value as their X, and
// the load generator reads the same clock on receipt, so a delivery's one-way
// latency is a plain subtraction (both ends run on this host).
inline int64_t NowMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace brelvint
