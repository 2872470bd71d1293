#include "base/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace brelvint {

std::optional<std::filesystem::path> Paths::ExecutableFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return std::nullopt;
  return exe.parent_path();
}

namespace {
// Set from the command line before the service starts; empty: the
// executable's folder.
std::filesystem::path g_data_folder;
}  // namespace

std::optional<std::filesystem::path> Paths::DataFolder() {
  if (!g_data_folder.empty()) return g_data_folder;
  return ExecutableFolder();
}

void Paths::SetDataFolder(std::filesystem::path folder) { g_data_folder = std::move(folder); }

bool Paths::DataFolderGiven() { return !g_data_folder.empty(); }

bool Paths::IsSystemFolder(const std::filesystem::path& folder) {
  static const char* const kSystemFolders[] = {"/bin",       "/sbin",          "/usr/bin",
                                               "/usr/sbin",  "/usr/local/bin", "/usr/local/sbin",
                                               "/usr/games", "/usr/libexec"};
  auto normal = folder.lexically_normal();
  if (normal.has_filename() == false) normal = normal.parent_path();
  for (const char* system : kSystemFolders) {
    if (normal == system) return true;
  }
  return false;
}

std::optional<std::string> Paths::OtherOwnerWhenRoot(const std::filesystem::path& path) {
  struct stat about {};
  if (::geteuid() != 0 || ::stat(path.c_str(), &about) != 0 || about.st_uid == 0) {
    return std::nullopt;
  }
  const passwd* owner = ::getpwuid(about.st_uid);
  return owner != nullptr ? std::string(owner->pw_name) : std::to_string(about.st_uid);
}

std::optional<std::filesystem::path> Paths::HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::filesystem::path(home);
  }
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return std::filesystem::path(entry->pw_dir);
  }
  return std::nullopt;
}

}  // namespace brelvint
