#include "WriteBlocker.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace brelvint {

namespace fs = std::filesystem;

namespace {

bool CanCreateFileIn(const fs::path& folder) {
  fs::path probe = folder / ".probe";
  int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace

WriteBlocker::WriteBlocker(fs::path folder) : folder_(std::move(folder)) {
  fs::permissions(folder_,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  if (CanCreateFileIn(folder_)) immutable_ = SetImmutable(true);
}

WriteBlocker::~WriteBlocker() {
  if (immutable_) SetImmutable(false);
  fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add);
}

bool WriteBlocker::Blocks() const { return !CanCreateFileIn(folder_); }

bool WriteBlocker::SetImmutable(bool on) const {
  int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(fd);
  return ok;
}

}  // namespace brelvint
