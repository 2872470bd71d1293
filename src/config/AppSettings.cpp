#include "config/AppSettings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <pugixml.hpp>

#include "config/AtomicFile.h"
#include "config/XmlError.h"
#include "base/Paths.h"

namespace brelvint {

namespace {

// The whole file; false with an empty `error` when it does not exist, with
// the reason otherwise (a folder or a device in its place is refused: it
// would read as empty or block).
bool ReadText(const std::filesystem::path& path, std::string* text, std::string* error) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(status)) return false;
  if (!std::filesystem::is_regular_file(status)) {
    *error = "not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  if (in) content << in.rdbuf();
  if (!in || in.bad()) {
    *error = std::strerror(errno);
    return false;
  }
  *text = content.str();
  return true;
}

}  // namespace

AppSettings::AppSettings(std::filesystem::path file) : file_(std::move(file)) {
  if (file_.empty()) {
    auto folder = Paths::DataFolder();
    if (folder) file_ = *folder / kFileName;
  }
}

std::string AppSettings::GetValue(const std::string& key, const std::string& defaultValue) {
  auto [it, inserted] = Values.try_emplace(key, defaultValue);
  return it->second;
}

std::string AppSettings::Peek(const std::string& key) const {
  auto it = Values.find(key);
  return it == Values.end() ? std::string() : it->second;
}

bool AppSettings::Load(std::string* error) {
  if (file_.empty()) {
    Values.clear();
    return true;
  }
  std::string text;
  std::string read_error;
  if (!ReadText(file_, &text, &read_error)) {
    if (read_error.empty()) {  // missing: created by the next Save
      Values = {{"Port", "12000"}};
      return true;
    }
    *error = file_.string() + ": " + read_error;
    return false;
  }
  pugi::xml_document document;
  pugi::xml_parse_result result = document.load_buffer(text.data(), text.size());
  if (!result) {
    *error = XmlError::Describe(file_, result);
    return false;
  }
  std::map<std::string, std::string> values;
  for (pugi::xml_node setting : document.document_element().children()) {
    if (setting.type() != pugi::node_element) continue;
    values[setting.attribute("namestring").value()] = setting.attribute("valuestring").value();
  }
  Values = std::move(values);
  return true;
}

void AppSettings::Save() {
  if (file_.empty()) return;
  pugi::xml_document document;
  auto declaration = document.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "UTF-8";
  pugi::xml_node root = document.append_child("settings");
  for (const auto& [key, value] : Values) {
    pugi::xml_node setting = root.append_child("setting");
    setting.append_attribute("namestring") = key.c_str();
    setting.append_attribute("valuestring") = value.c_str();
  }
  std::ostringstream text;
  document.save(text, "  ");
  std::string error;
  if (!AtomicFile::Replace(file_, text.str(), &error)) {
    throw std::runtime_error("cannot save settings file " + file_.string() + ": " + error);
  }
}

void AppSettings::SetValue(const std::string& key, const std::string& value) {
  Values[key] = value;
  Save();
}

}  // namespace brelvint
