#include "config/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace brelvint {

namespace {

bool Fail(std::string* error, const std::string& what, int code) {
  if (error != nullptr) *error = what + ": " + std::strerror(code);
  return false;
}

// The mode a new file gets: 0666 less the process's umask, as open(2)
// would give it (a unit's UMask=0027 makes 0640). Read from /proc rather
// than by setting the umask, which would race with other threads' files.
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) == 0) {
      return static_cast<mode_t>(0666 & ~std::stoul(line.substr(6), nullptr, 8));
    }
  }
  return 0644;
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

// Where the bytes of `start` really live: the final file a chain of symbolic
// links points to (a link that points nowhere yet names the file to create).
// Renaming over the link itself would turn it into a plain file and leave
// the file it points to unedited. False after too many links (a loop).
bool ResolveLinks(const std::filesystem::path& start, std::filesystem::path* real,
                  std::string* error) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit (ELOOP)
  std::filesystem::path path = start;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) {
      *real = path;
      return true;
    }
    std::filesystem::path link = std::filesystem::read_symlink(path, ec);
    if (ec) return Fail(error, "cannot read the link " + path.string(), ec.value());
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return Fail(error, "cannot follow the links from " + start.string(), ELOOP);
}

}  // namespace

bool AtomicFile::Replace(const std::filesystem::path& link_or_file, std::string_view contents,
                         std::string* error) {
  std::filesystem::path target;
  if (!ResolveLinks(link_or_file, &target, error)) return false;
  std::string pattern =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  if (target.parent_path().empty()) pattern = "." + target.filename().string() + ".XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return Fail(error, "cannot create a temporary file beside " + target.string(), errno);

  struct stat old_stat {};
  mode_t mode = (::stat(target.c_str(), &old_stat) == 0) ? (old_stat.st_mode & 07777) : NewFileMode();
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
