#include "ScopedHome.h"

#include <cstdlib>

namespace brelvint {

ScopedHome::ScopedHome(const std::filesystem::path& folder) {
  if (const char* home = std::getenv("HOME")) saved_ = home;
  std::filesystem::create_directories(folder);
  ::setenv("HOME", folder.c_str(), 1);
}

ScopedHome::~ScopedHome() {
  if (saved_) {
    ::setenv("HOME", saved_->c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
}

}  // namespace brelvint
