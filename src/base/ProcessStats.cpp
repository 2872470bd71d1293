#include "base/ProcessStats.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace brelvint {

namespace {

// Seconds since the epoch at which the machine booted: "btime" in
// /proc/stat or, where /proc shows processes only (the unit's
// ProcSubset=pid), the real-time clock less the time since boot, which is
// how the kernel computes btime.
std::optional<double> BootTime() {
  std::ifstream in("/proc/stat");
  std::string key;
  while (in >> key) {
    if (key == "btime") {
      double seconds = 0;
      if (in >> seconds) return seconds;
      break;
    }
    in.ignore(1 << 20, '\n');
  }
  timespec real{}, since_boot{};
  if (clock_gettime(CLOCK_REALTIME, &real) != 0 || clock_gettime(CLOCK_BOOTTIME, &since_boot) != 0)
    return std::nullopt;
  return static_cast<double>(real.tv_sec - since_boot.tv_sec) +
         static_cast<double>(real.tv_nsec - since_boot.tv_nsec) / 1e9;
}

uint64_t OpenDescriptors() {
  std::error_code error;
  uint64_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  // The listing's own descriptor is among those counted.
  return count > 0 ? count - 1 : 0;
}

}  // namespace

std::optional<ProcessStats> ProcessStats::Read() {
  std::ifstream in("/proc/self/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  // The command name (field 2) may hold spaces and parentheses; the fields
  // counted below start after its last ')'.
  auto close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::vector<std::string> values{std::istream_iterator<std::string>(fields),
                                  std::istream_iterator<std::string>()};
  // values[0] is field 3 (state): utime is field 14, stime 15, starttime 22, rss 24.
  constexpr size_t kUtime = 11, kStime = 12, kStartTime = 19, kRss = 21;
  if (values.size() <= kRss) return std::nullopt;
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  long page = sysconf(_SC_PAGESIZE);
  if (ticks <= 0 || page <= 0) return std::nullopt;
  ProcessStats stats;
  try {
    stats.CpuSeconds = (std::stod(values[kUtime]) + std::stod(values[kStime])) / ticks;
    stats.ResidentBytes = std::stoull(values[kRss]) * static_cast<uint64_t>(page);
    // Found once: a start time that moved by a clock's jitter between
    // scrapes would read as a restart.
    static const std::optional<double> boot = BootTime();
    if (boot) stats.StartTimeSeconds = *boot + std::stod(values[kStartTime]) / ticks;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  stats.OpenFds = OpenDescriptors();
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) stats.MaxFds = limit.rlim_cur;
  return stats;
}

}  // namespace brelvint
