#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace brelvint {

// A fresh, empty folder under the system's temporary folder, removed with
// everything in it (read-only subfolders included) when the object goes.
// For tests that need real files; one per test.
class TempFolder {
 public:
  // Throws std::runtime_error when no folder can be made.
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  // Writes `contents` to `name` (relative to the folder; missing subfolders
  // are created) and returns the full path. Throws std::runtime_error when
  // the file cannot be written.
  std::filesystem::path WriteFile(const std::filesystem::path& name,
                                  std::string_view contents) const;
  // The whole file; empty when it cannot be read.
  std::string ReadFile(const std::filesystem::path& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace brelvint
