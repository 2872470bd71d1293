#pragma once

#include <cstdint>
#include <optional>

namespace brelvint {

// The figures behind Prometheus's standard process series, read from
// /proc/self and the descriptor limit. Pure reads of the kernel's view of
// this process: safe on any thread.
struct ProcessStats {
  double CpuSeconds = 0;  // user + system time
  uint64_t ResidentBytes = 0;
  uint64_t OpenFds = 0;
  uint64_t MaxFds = 0;          // the soft RLIMIT_NOFILE
  double StartTimeSeconds = 0;  // since the Unix epoch

  // Empty when /proc/self/stat cannot be read or parsed.
  static std::optional<ProcessStats> Read();
};

}  // namespace brelvint
