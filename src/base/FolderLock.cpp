#include "base/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace brelvint {

namespace {

struct flock WholeFileWriteLock() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file
  return lock;
}

// The process holding a write lock that conflicts with ours on `fd`; 0 when none.
pid_t HolderOf(int fd) {
  struct flock probe = WholeFileWriteLock();
  if (::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return probe.l_pid;
}

// The process holding a flock on `folder`, read from /proc/locks, which
// names each lock's inode as "<major hex>:<minor hex>:<inode>"; 0 when none.
pid_t FolderHolder(const std::filesystem::path& folder) {
  struct stat about {};
  if (::stat(folder.c_str(), &about) != 0) return 0;
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(about.st_dev), minor(about.st_dev),
                static_cast<unsigned long long>(about.st_ino));
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, inode;
    if (!(fields >> number >> kind >> mode >> access >> pid >> inode)) continue;
    if (kind == "FLOCK" && inode == wanted) return static_cast<pid_t>(std::atol(pid.c_str()));
  }
  return 0;
}

std::string InUse(const std::filesystem::path& folder, pid_t holder) {
  return "the data folder " + folder.string() + " is in use by another server, " +
         (holder > 0 ? FolderLock::DescribeProcess(holder) : std::string("process unknown")) +
         "; not starting.";
}

}  // namespace

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
  if (folder_fd_ >= 0) ::close(folder_fd_);
}

bool FolderLock::Take(const std::filesystem::path& folder, std::string* refusal) {
  // The folder first: a server whose lock file was deleted still holds it,
  // and the refused start must not create or lock anything.
  folder_fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd_ < 0) {
    *refusal = "cannot open the data folder " + folder.string() + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(folder_fd_, LOCK_EX | LOCK_NB) != 0) {
    int failure = errno;
    // The lock file names the holder without /proc/locks, which the unit's
    // ProcSubset=pid hides; the folder's own lock is the fallback.
    *refusal = failure == EWOULDBLOCK ? InUse(folder, FolderLock::Holder(folder))
                                      : "cannot lock the data folder " + folder.string() + ": " +
                                            std::strerror(failure);
    ::close(folder_fd_);
    folder_fd_ = -1;
    return false;
  }
  const auto file = folder / kFileName;
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd_ < 0) {
    *refusal = "cannot open lock file " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  struct flock lock = WholeFileWriteLock();
  if (::fcntl(fd_, F_SETLK, &lock) == 0) return true;
  int failure = errno;
  if (failure == EACCES || failure == EAGAIN) {
    *refusal = InUse(folder, HolderOf(fd_));
  } else {
    *refusal = "cannot lock " + file.string() + ": " + std::strerror(failure);
  }
  ::close(fd_);
  fd_ = -1;
  ::close(folder_fd_);
  folder_fd_ = -1;
  return false;
}

bool FolderLock::Note(const std::string& text) {
  if (fd_ < 0 || ::ftruncate(fd_, 0) != 0) return false;
  return ::pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

std::string FolderLock::Noted(const std::filesystem::path& folder) {
  // Only for other processes: in the holder, closing any descriptor of the
  // file would drop its record lock.
  std::ifstream in(folder / kFileName, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text;
}

pid_t FolderLock::Holder(const std::filesystem::path& folder) {
  pid_t holder = 0;
  int fd = ::open((folder / kFileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    holder = HolderOf(fd);
    ::close(fd);
  }
  return holder > 0 ? holder : FolderHolder(folder);
}

std::string FolderLock::DescribeProcess(pid_t pid) {
  std::string text = "process " + std::to_string(pid);
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (std::getline(comm, name) && !name.empty()) text += " (" + name + ")";
  return text;
}

}  // namespace brelvint
