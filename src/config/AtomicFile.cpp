#include "config/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brelvint {

namespace {

bool Fail(std::string* error, const std::string& what, int code) {
  if (error != nullptr) *error = what + ": " + std::strerror(code);
  return false;
}

bool WriteAll(int fd, std::string_view contents) {
  while (!contents.empty()) {
    ssize_t n = ::write(fd, contents.data(), contents.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    contents.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool AtomicFile::Replace(const std::filesystem::path& target, std::string_view contents,
                         std::string* error) {
  std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  if (target.parent_path().empty()) pattern = "." + target.filename().string() + ".XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return Fail(error, "cannot create a temporary file beside " + target.string(), errno);

  struct stat old_stat {};
  mode_t mode = (::stat(target.c_str(), &old_stat) == 0) ? (old_stat.st_mode & 07777) : 0644;
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, contents) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && ::rename(pattern.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(pattern.c_str());
    return Fail(error, "cannot write " + target.string(), saved);
  }
  // Make the rename itself durable.
  int dir = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                   O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace brelvint
