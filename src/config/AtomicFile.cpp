#include "config/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// The new contents, synced to a temporary file beside the target, with the
// target's mode. On success `*fd` is the open file; on failure nothing is
// left behind.
bool WriteTemporary(const std::filesystem::path& target, std::string_view contents,
                    std::string* temp, int* fd, std::string* error) {
  std::string pattern =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  if (target.parent_path().empty()) pattern = "." + target.filename().string() + ".XXXXXX";
  *fd = ::mkstemp(pattern.data());
  if (*fd < 0)
    return Fail(error, "cannot create a temporary file beside " + target.string(), errno);
  struct stat old_stat {};
  mode_t mode =
      (::stat(target.c_str(), &old_stat) == 0) ? (old_stat.st_mode & 07777) : NewFileMode();
  if (::fchmod(*fd, mode) == 0 && WriteAll(*fd, contents) && ::fsync(*fd) == 0) {
    *temp = std::move(pattern);
    return true;
  }
  int saved = errno;
  ::close(*fd);
  *fd = -1;
  ::unlink(pattern.c_str());
  return Fail(error, "cannot write " + target.string(), saved);
}

// Makes renames in the target's folder durable.
void SyncFolder(const std::filesystem::path& target) {
  int dir = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool AtomicFile::Replace(const std::filesystem::path& link_or_file, std::string_view contents,
                         std::string* error) {
  std::filesystem::path target;
  if (!ResolveLinks(link_or_file, &target, error)) return false;
  std::string temp;
  int fd = -1;
  if (!WriteTemporary(target, contents, &temp, &fd, error)) return false;
  bool ok = ::close(fd) == 0;
  if (ok) ok = ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    ::unlink(temp.c_str());
    return Fail(error, "cannot write " + target.string(), saved);
  }
  SyncFolder(target);
  return true;
}

namespace {

// Sets the file's modification time just before the tick of the file
// clock (the coarse real-time clock the kernel stamps files with). Any
// write to the file from now on stamps a later time, so an edit in place
// made in the very tick of our own write still shows in its modification
// time, and the writer need not read the bytes again to tell.
bool BackdateModification(int fd) {
  struct timespec times[2]{};
  times[0].tv_nsec = UTIME_OMIT;
  ::clock_gettime(CLOCK_REALTIME_COARSE, &times[1]);
  if (times[1].tv_nsec > 0) {
    --times[1].tv_nsec;
  } else {
    --times[1].tv_sec;
    times[1].tv_nsec = 999999999;
  }
  return ::futimens(fd, times) == 0;
}

}  // namespace

AtomicFile::Outcome AtomicFile::ReplaceUnlessChanged(const std::filesystem::path& link_or_file,
                                                     std::string_view contents,
                                                     const StillAsRead& still_as_read,
                                                     std::string* error, struct stat* written) {
  std::filesystem::path target;
  if (!ResolveLinks(link_or_file, &target, error)) return Outcome::kFailed;
  std::string temp;
  int fd = -1;
  if (!WriteTemporary(target, contents, &temp, &fd, error)) return Outcome::kFailed;
  struct stat ours {};
  if (!BackdateModification(fd) || ::fstat(fd, &ours) != 0) {
    int saved = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    Fail(error, "cannot write " + target.string(), saved);
    return Outcome::kFailed;
  }
  auto give_up = [&](Outcome outcome) {
    ::close(fd);
    ::unlink(temp.c_str());
    return outcome;
  };

  // Writing and syncing take long enough for an operator to save the file
  // meanwhile: checked as late as possible.
  if (!still_as_read(target, false)) return give_up(Outcome::kChanged);
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
    int saved = errno;
    // The file went away since the check: whoever removed it decides.
    if (saved == ENOENT) return give_up(Outcome::kChanged);
    bool cannot_swap = saved == EINVAL || saved == ENOSYS || saved == ENOTSUP;
    if (!cannot_swap || ::rename(temp.c_str(), target.c_str()) != 0) {
      if (cannot_swap) saved = errno;
      give_up(Outcome::kFailed);
      Fail(error, "cannot write " + target.string(), saved);
      return Outcome::kFailed;
    }
  } else if (!still_as_read(temp, true)) {
    // An edit landed between the check and the swap: the operator's file
    // goes back in place, and ours is dropped.
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
      // Both files are kept as they are; the operator's bytes are not lost.
      Fail(error, "cannot put " + temp + " back in place of " + target.string(), errno);
      ::close(fd);
      return Outcome::kFailed;
    }
    struct stat back {};
    // Only our own file is removed: anything else that took its place in
    // that instant is an operator's, and stays.
    if (::lstat(temp.c_str(), &back) == 0 && SameFile(back, ours)) ::unlink(temp.c_str());
    ::close(fd);
    SyncFolder(target);
    return Outcome::kChanged;
  } else {
    ::unlink(temp.c_str());  // the version just replaced
  }
  SyncFolder(target);
  if (written != nullptr) *written = ours;
  ::close(fd);
  return Outcome::kReplaced;
}

std::vector<std::string> AtomicFile::RemoveStale(
    const std::filesystem::path& folder,
    const std::function<bool(const std::string& target_name)>& ours) {
  // mkstemp's six characters.
  auto is_suffix = [](std::string_view text) {
    return text.size() == 6 && std::all_of(text.begin(), text.end(), [](char c) {
             return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
           });
  };
  std::vector<std::string> removed;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    std::string name = entry.path().filename().string();
    size_t dot = name.rfind('.');
    if (name.size() < 9 || name[0] != '.' || dot == std::string::npos || dot < 2 ||
        !is_suffix(std::string_view(name).substr(dot + 1))) {
      continue;
    }
    std::string target = name.substr(1, dot - 1);
    struct stat about {};
    if (!ours(target) || ::lstat(entry.path().c_str(), &about) != 0 || !S_ISREG(about.st_mode)) {
      continue;
    }
    if (::unlink(entry.path().c_str()) == 0) removed.push_back(name);
  }
  return removed;
}

}  // namespace brelvint
