#include "http/TempFile.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace brelvint {

std::optional<TempFile> TempFile::Create(std::string_view prefix, std::string* error) {
  std::error_code folder_error;
  std::filesystem::path folder = std::filesystem::temp_directory_path(folder_error);
  if (folder_error) {
    if (error != nullptr) *error = "no temporary folder: " + folder_error.message();
    return std::nullopt;
  }
  std::string pattern = (folder / (std::string(prefix) + "XXXXXX")).string();
  // mkstemp creates the file with mode 0600, so no other account reads it.
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    if (error != nullptr) *error = "cannot create " + pattern + ": " + std::strerror(errno);
    return std::nullopt;
  }
  ::close(fd);
  return TempFile(std::filesystem::path(pattern));
}

TempFile::TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)) {
  other.path_.clear();
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    Remove();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

TempFile::~TempFile() { Remove(); }

void TempFile::Remove() {
  if (path_.empty()) return;
  std::error_code ignored;  // already gone is fine
  std::filesystem::remove(path_, ignored);
  path_.clear();
}

}  // namespace brelvint
