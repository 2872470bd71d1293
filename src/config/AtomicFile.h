#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brelvint {

// Replaces a file's content so that a crash or a full disk leaves either
// the old file or the new one, never a mix: the bytes go to a temporary
// file in the same folder, are synced, and the temporary file is renamed
// over the target. The target's permission bits are kept when it exists.
// A symbolic link stays a link: the file it points to (through any chain of
// links) is the one replaced, with the temporary file beside it.
class AtomicFile {
 public:
  // False when any step failed; the old file then stays as it was and
  // `error` (when given) says what went wrong.
  static bool Replace(const std::filesystem::path& path, std::string_view contents,
                      std::string* error = nullptr);

  // What ReplaceUnlessChanged did.
  enum class Outcome {
    kReplaced,  // the new contents are in place
    kChanged,   // the file was not the one the contents were made from: it is
                // left (or put back) as found, and nothing else changed
    kFailed,    // a step failed; the old file stays and `error` says why
  };

  // Is `file` still the version the new contents were made from? Asked
  // about the target just before it is replaced (`displaced` false), and
  // about the file the swap displaced just after (`displaced` true; the swap
  // itself moved that file's change time).
  using StillAsRead = std::function<bool(const std::filesystem::path& file, bool displaced)>;

  // Replace for a file someone else may edit at any moment (an operator's
  // network file): the target is never replaced by bytes made from a
  // version its writer has not read. The synced temporary file is swapped
  // with the target in one step (renameat2 RENAME_EXCHANGE), and what it
  // displaced is checked: an edit that landed between the check before the
  // swap and the swap itself is swapped back, so no window remains in which
  // an edit is lost. Where the file system cannot swap, a plain rename
  // follows the check before it. The new file's modification time is set
  // just before the file clock's current tick, so any later write to it
  // stamps a later one. `written` (when given) receives the new file's
  // status as it was written, before the swap: an edit made to it once in
  // place changes its size or modification time, even in the same tick.
  // Removes from `folder` the temporary files a replace leaves when its
  // process ends in the middle of one (a stop that could not wait for a
  // hung disk): regular files named "." + the target's name + "." + six
  // letters or digits, for the target names `ours` accepts. No other file
  // is touched. Call it only where no replace can be under way (at start,
  // with the data folder locked). The names removed.
  static std::vector<std::string> RemoveStale(
      const std::filesystem::path& folder,
      const std::function<bool(const std::string& target_name)>& ours);

  static Outcome ReplaceUnlessChanged(const std::filesystem::path& path, std::string_view contents,
                                      const StillAsRead& still_as_read,
                                      std::string* error = nullptr, struct stat* written = nullptr);
};

}  // namespace brelvint
