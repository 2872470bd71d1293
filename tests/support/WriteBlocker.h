#pragma once

#include <filesystem>

namespace brelvint {

// Makes file creation in a folder fail until destroyed, while the files in
// it can still be read: a full disk or a folder made read-only, as a write
// of the service meets them. The folder turns read-only, and where that
// does not stop this process (root ignores permissions) it is also marked
// immutable. Blocks() is false where neither works.
class WriteBlocker {
 public:
  explicit WriteBlocker(std::filesystem::path folder);
  ~WriteBlocker();
  WriteBlocker(const WriteBlocker&) = delete;
  WriteBlocker& operator=(const WriteBlocker&) = delete;

  bool Blocks() const;

 private:
  bool SetImmutable(bool on) const;

  std::filesystem::path folder_;
  bool immutable_ = false;
};

}  // namespace brelvint
