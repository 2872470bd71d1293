#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace brelvint {

// Reads one process's CPU time and resident memory from /proc (the server
// under test, or the load generator itself). A probe of pid 0 reads nothing.
class ProcessProbe {
 public:
  explicit ProcessProbe(pid_t pid) : pid_(pid) {}

  bool Enabled() const { return pid_ > 0; }

  // utime + stime of all its threads, in microseconds (clock-tick
  // resolution); nullopt when disabled or the process is gone.
  std::optional<uint64_t> CpuMicros() const;

  // VmRSS in bytes; nullopt when disabled or the process is gone.
  std::optional<uint64_t> RssBytes() const;

  bool Alive() const;

 private:
  pid_t pid_;
};

}  // namespace brelvint
