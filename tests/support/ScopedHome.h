#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brelvint {

// Points $HOME at `folder` (created when missing) for the object's life,
// so the log lines a test causes go to a log of the test's own; restores
// the old value afterwards.
class ScopedHome {
 public:
  explicit ScopedHome(const std::filesystem::path& folder);
  ~ScopedHome();
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;

 private:
  std::optional<std::string> saved_;
};

}  // namespace brelvint
