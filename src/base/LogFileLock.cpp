#include "base/LogFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brelvint {

LogFileLock::~LogFileLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool LogFileLock::Take(const std::filesystem::path& log, std::string* refusal) {
  std::string file = log.string() + kSuffix;
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    *refusal = "cannot open " + file + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  int failure = errno;
  *refusal = failure == EWOULDBLOCK
                 ? "the log file " + log.string() + " is written by another running server; " +
                       "give this one its own with --log-file; not starting."
                 : "cannot lock " + file + ": " + std::strerror(failure);
  ::close(fd_);
  fd_ = -1;
  return false;
}

}  // namespace brelvint
