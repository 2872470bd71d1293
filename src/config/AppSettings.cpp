#include "config/AppSettings.h"

#include <sstream>
#include <stdexcept>

#include <pugixml.hpp>

#include "base/Paths.h"
#include "config/AtomicFile.h"
#include "config/XmlError.h"

namespace brelvint {

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

void AppSettings::Load() { Load(nullptr); }

bool AppSettings::Load(std::string* error) {
  Values.clear();
  if (file_.empty()) return true;
  std::error_code ec;
  if (!std::filesystem::exists(file_, ec)) SetValue("Port", "12000");

  pugi::xml_document document;
  pugi::xml_parse_result result = document.load_file(file_.c_str());
  if (!result) {
    Values.clear();
    if (error != nullptr) *error = XmlError::Describe(file_, result);
    return false;
  }
  for (pugi::xml_node setting : document.document_element().children()) {
    if (setting.type() != pugi::node_element) continue;
    Values[setting.attribute("namestring").value()] = setting.attribute("valuestring").value();
  }
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
