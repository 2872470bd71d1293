#include "ProcessProbe.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace brelvint {

namespace {

// Reads a small /proc file whole; empty when it cannot be read.
std::string ReadProcFile(pid_t pid, const char* name) {
  std::string path = "/proc/" + std::to_string(pid) + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return {};
  std::string text;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
  std::fclose(file);
  return text;
}

}  // namespace

std::optional<uint64_t> ProcessProbe::CpuMicros() const {
  if (!Enabled()) return std::nullopt;
  std::string stat = ReadProcFile(pid_, "stat");
  // The command name is in parentheses and may hold spaces: count the
  // fields from the last ')'. State is field 3, utime 14, stime 15.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  const char* cursor = stat.c_str() + close + 1;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int field = 3; field <= 15; ++field) {
    char* end;
    while (*cursor == ' ') ++cursor;
    if (*cursor == '\0') return std::nullopt;
    unsigned long long value = std::strtoull(cursor, &end, 10);
    if (field == 14) utime = value;
    if (field == 15) stime = value;
    cursor = end;
    while (*cursor != ' ' && *cursor != '\0') ++cursor;
  }
  long ticks_per_second = sysconf(_SC_CLK_TCK);
  if (ticks_per_second <= 0) return std::nullopt;
  return (utime + stime) * 1000000ULL / static_cast<uint64_t>(ticks_per_second);
}

std::optional<uint64_t> ProcessProbe::RssBytes() const {
  if (!Enabled()) return std::nullopt;
  std::string status = ReadProcFile(pid_, "status");
  size_t line = status.find("\nVmRSS:");
  if (line == std::string::npos) return std::nullopt;
  unsigned long long kib = std::strtoull(status.c_str() + line + 7, nullptr, 10);
  return kib * 1024;
}

bool ProcessProbe::Alive() const {
  if (!Enabled()) return false;
  if (kill(pid_, 0) != 0 && errno != EPERM) return false;
  // A zombie still answers kill(); its state letter says it has ended.
  std::string stat = ReadProcFile(pid_, "stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

}  // namespace brelvint
