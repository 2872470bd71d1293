#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace brelvint {

// The service's own settings: text pairs kept in "brelvint.conf" beside the
// executable. Every pair found in the file is kept and written back, even
// keys the service never reads. Owned by App for the life of the process.
class AppSettings {
 public:
  static constexpr const char kFileName[] = "brelvint.conf";

  // `file` is the settings file; empty means "brelvint.conf" beside the
  // executable.
  explicit AppSettings(std::filesystem::path file = {});

  // The stored value, or `defaultValue`, which is then stored in memory
  // (the next Save writes it).
  std::string GetValue(const std::string& key, const std::string& defaultValue);
  // The stored value without storing anything; empty when absent.
  std::string Peek(const std::string& key) const;

  // Reads the file. A missing file reads as {"Port": "12000"} (created on
  // the next Save). Returns false when the file exists but cannot be read
  // or parsed: Values stay as they were, the file is untouched, and
  // `*error` holds "<file>: <parser message> at line L, column C" (or the
  // read error). A settings file that cannot be parsed is left alone, so a
  // typo never costs the operator the keys it holds.
  bool Load(std::string* error);
  // Replaces the file atomically with all of Values, when they differ from
  // what it holds. A file that was read keeps its comments, layout and
  // order of keys: changed values are set in place and new keys follow the
  // last one. Throws
  // std::runtime_error naming the file and the reason when it cannot.
  void Save();
  void SetValue(const std::string& key, const std::string& value);

  const std::filesystem::path& File() const { return file_; }

  std::map<std::string, std::string> Values;

 private:
  std::string RenderNew() const;
  std::string RenderOverSource() const;

  std::filesystem::path file_;
  // The file's text as last read or written (empty: none yet), and the
  // values it holds.
  std::string source_;
  std::map<std::string, std::string> loaded_;
};

}  // namespace brelvint
