#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brelvint {

// A private file (mode 0600) in the system's temporary folder, removed when
// this object goes away: somewhere to download a file that only lives until
// it has been read. Movable; the moved-from object removes nothing.
class TempFile {
 public:
  // Creates an empty "<temporary folder>/<prefix>XXXXXX" with a unique
  // name. Empty, with `error` (when given) saying why, when it cannot.
  static std::optional<TempFile> Create(std::string_view prefix, std::string* error = nullptr);

  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();

  const std::filesystem::path& Path() const { return path_; }

 private:
  explicit TempFile(std::filesystem::path path) : path_(std::move(path)) {}
  void Remove();

  std::filesystem::path path_;  // empty once moved from
};

}  // namespace brelvint
