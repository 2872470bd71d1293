#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brelvint {

// Where the service finds its own files. The executable's folder comes from
// /proc/self/exe, never from the working directory, so the service reads
// the same files however it is started.
class Paths {
 public:
  // Empty when the kernel cannot tell us where the executable is.
  static std::optional<std::filesystem::path> ExecutableFolder();
  // The folder that holds the service's settings, network folder, ban
  // database and status-page pictures: the one given to SetDataFolder
  // (--data-dir), else the executable's folder.
  static std::optional<std::filesystem::path> DataFolder();
  // Called once at start, before anything reads DataFolder.
  static void SetDataFolder(std::filesystem::path folder);
  // True once SetDataFolder was called.
  static bool DataFolderGiven();
  // True for the folders that hold a system's programs (/usr/bin and the
  // like), where a server must never keep its files.
  static bool IsSystemFolder(const std::filesystem::path& folder);
  // The name of the account that owns `path` when this process runs as
  // root and another account owns it (files root made there would lock
  // that account out); none otherwise, or when `path` cannot be read.
  static std::optional<std::string> OtherOwnerWhenRoot(const std::filesystem::path& path);
  // $HOME, or the account's home from the password database; empty when
  // neither is known.
  static std::optional<std::filesystem::path> HomeFolder();
};

}  // namespace brelvint
