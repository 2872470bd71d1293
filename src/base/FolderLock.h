#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace brelvint {

// One server per data folder: an exclusive flock on the folder itself, and
// a POSIX record lock on "brelvint.lock" in it (which servers of earlier
// versions hold), both held for the life of the process. The folder's own
// lock cannot be deleted from under a running server the way a lock file
// can. The kernel drops both when the process ends, however it ends, so
// there is never a stale hold to clear by hand. Only the first opener of
// the file in a process may hold its record lock (closing any descriptor of
// the file drops a POSIX lock), so the object is made once, at start, and
// lives until the process exits.
class FolderLock {
 public:
  static constexpr const char kFileName[] = "brelvint.lock";

  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Takes the lock on `folder` (creating the lock file). False with
  // `refusal` set to one line for standard error: which process holds the
  // folder, or why the lock file cannot be used.
  bool Take(const std::filesystem::path& folder, std::string* refusal);

  // Writes `text` as the lock file's content, replacing what it held: the
  // server notes its log file there, where `brelvint bans` finds it. False
  // when it cannot (no lock held, or the write failed).
  bool Note(const std::string& text);
  // What the lock file holds, without creating it; empty when none. Never
  // for the holding process (see Holder).
  static std::string Noted(const std::filesystem::path& folder);

  // The process holding `folder` (its lock file, or else the folder
  // itself), without creating anything; 0 when no process holds it. Never for a process that holds
  // a FolderLock itself: closing its probe descriptor would drop that process's own lock.
  static pid_t Holder(const std::filesystem::path& folder);
  // "process <pid> (<command name>)", the name read from /proc when it can be.
  static std::string DescribeProcess(pid_t pid);

 private:
  int fd_ = -1;         // the lock file
  int folder_fd_ = -1;  // the folder
};

}  // namespace brelvint
