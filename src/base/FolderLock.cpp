#include "base/FolderLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace brelvint {

namespace {

flock WholeFileWriteLock() {
  flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file
  return lock;
}

// The process holding a write lock that conflicts with ours on `fd`; 0 when none.
pid_t HolderOf(int fd) {
  flock probe = WholeFileWriteLock();
  if (::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return probe.l_pid;
}

}  // namespace

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool FolderLock::Take(const std::filesystem::path& folder, std::string* refusal) {
  const auto file = folder / kFileName;
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    *refusal = "cannot open lock file " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  flock lock = WholeFileWriteLock();
  if (::fcntl(fd_, F_SETLK, &lock) == 0) return true;
  int failure = errno;
  if (failure == EACCES || failure == EAGAIN) {
    pid_t holder = HolderOf(fd_);
    *refusal = "the data folder " + folder.string() + " is in use by another server, " +
               (holder > 0 ? DescribeProcess(holder) : std::string("process unknown")) +
               "; not starting.";
  } else {
    *refusal = "cannot lock " + file.string() + ": " + std::strerror(failure);
  }
  ::close(fd_);
  fd_ = -1;
  return false;
}

pid_t FolderLock::Holder(const std::filesystem::path& folder) {
  int fd = ::open((folder / kFileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  pid_t holder = HolderOf(fd);
  ::close(fd);
  return holder;
}

std::string FolderLock::DescribeProcess(pid_t pid) {
  std::string text = "process " + std::to_string(pid);
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (std::getline(comm, name) && !name.empty()) text += " (" + name + ")";
  return text;
}

}  // namespace brelvint
