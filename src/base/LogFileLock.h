#pragma once

#include <filesystem>
#include <string>

namespace brelvint {

// One server per log file: an exclusive flock on "<log>.lock" beside the
// log, held for the life of the process. Two servers of one account on two
// data folders would otherwise truncate and interleave each other's log.
// The log itself cannot carry the lock: it is opened anew for every line
// and moved away at each start and by log rotation.
class LogFileLock {
 public:
  static constexpr const char kSuffix[] = ".lock";

  LogFileLock() = default;
  ~LogFileLock();
  LogFileLock(const LogFileLock&) = delete;
  LogFileLock& operator=(const LogFileLock&) = delete;

  // Takes the lock for `log` (creating the lock file). False with
  // `refusal` set to one line for standard error.
  bool Take(const std::filesystem::path& log, std::string* refusal);

 private:
  int fd_ = -1;
};

}  // namespace brelvint
