#pragma once

#include <filesystem>
#include <string>
#include <string_view>

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
};

}  // namespace brelvint
