#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace brelvint {

// The service's own settings: text pairs kept in "brelvint.conf" in the
// data folder. Every pair found in the file is kept and written back, even
// keys the service never reads. Owned by App for the life of the process.
class AppSettings {
 public:
  static constexpr const char kFileName[] = "brelvint.conf";

  // `file` is the settings file; empty means "brelvint.conf" in the data
  // folder.
  explicit AppSettings(std::filesystem::path file = {});

  // The stored value, or `defaultValue`, which is then stored in memory
  // (the next Save writes it).
  std::string GetValue(const std::string& key, const std::string& defaultValue);
  // The stored value without storing anything; empty when absent.
  std::string Peek(const std::string& key) const;

  // Reads the file into fresh Values. A missing file is created holding
  // "Port" = "12000"; an unreadable or malformed one reads as empty (the
  // next Save replaces it). Throws std::runtime_error when a missing file
  // cannot be created.
  void Load();
  // As Load, but a file that exists and cannot be parsed leaves Values
  // empty, the file untouched, and returns false with `error` set to
  // "<file>: <parser message> at line L, column C".
  bool Load(std::string* error);
  // Replaces the file atomically with all of Values. Throws
  // std::runtime_error naming the file and the reason when it cannot.
  void Save();
  void SetValue(const std::string& key, const std::string& value);

  const std::filesystem::path& File() const { return file_; }

  std::map<std::string, std::string> Values;

 private:
  std::filesystem::path file_;
};

}  // namespace brelvint
