#include "config/AppSettings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "base/Paths.h"
#include "config/AtomicFile.h"
#include "config/XmlError.h"

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

// Adds a setting after `last` (the last one so far; null when none), on a
// line of its own indented as `last` is. Returns the new element.
pugi::xml_node AddSetting(pugi::xml_node root, pugi::xml_node last, const std::string& key,
                          const std::string& value) {
  std::string indent = "\n  ";
  pugi::xml_node before = last ? last.previous_sibling() : pugi::xml_node();
  if (before.type() == pugi::node_pcdata) {
    std::string_view space = before.value();
    size_t line = space.rfind('\n');
    if (line != std::string_view::npos) indent = std::string(space.substr(line));
  }
  pugi::xml_node gap;
  if (last) {
    gap = root.insert_child_after(pugi::node_pcdata, last);
  } else if (root.last_child().type() == pugi::node_pcdata) {
    gap = root.insert_child_before(pugi::node_pcdata, root.last_child());
  } else {
    root.append_child(pugi::node_pcdata).set_value("\n");
    gap = root.insert_child_before(pugi::node_pcdata, root.last_child());
  }
  gap.set_value(indent.c_str());
  pugi::xml_node setting = root.insert_child_after("setting", gap);
  setting.append_attribute("namestring") = key.c_str();
  setting.append_attribute("valuestring") = value.c_str();
  return setting;
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
      source_.clear();
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
  loaded_ = Values;
  source_ = std::move(text);
  return true;
}

void AppSettings::Save() {
  if (file_.empty()) return;
  // Nothing to add or change: the file stays byte for byte as the operator
  // left it, and a start costs no write.
  if (!source_.empty() && Values == loaded_) return;
  std::string text = source_.empty() ? RenderNew() : RenderOverSource();
  std::string error;
  if (!AtomicFile::Replace(file_, text, &error)) {
    throw std::runtime_error("cannot save settings file " + file_.string() + ": " + error);
  }
  source_ = std::move(text);
  loaded_ = Values;
}

std::string AppSettings::RenderNew() const {
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
  return text.str();
}

std::string AppSettings::RenderOverSource() const {
  // The operator's file, comments and all, with only the values changed
  // and the new keys added after the last one, indented like it.
  pugi::xml_document document;
  document.load_buffer(source_.data(), source_.size(), pugi::parse_full | pugi::parse_ws_pcdata);
  pugi::xml_node root = document.document_element();
  std::set<std::string> present;
  pugi::xml_node last;
  for (pugi::xml_node setting : root.children()) {
    if (setting.type() != pugi::node_element) continue;
    last = setting;
    std::string key = setting.attribute("namestring").value();
    auto it = Values.find(key);
    if (it == Values.end()) continue;
    present.insert(key);
    pugi::xml_attribute value = setting.attribute("valuestring");
    if (!value) value = setting.append_attribute("valuestring");
    if (it->second != value.value()) value.set_value(it->second.c_str());
  }
  for (const auto& [key, value] : Values) {
    if (present.count(key) != 0) continue;
    last = AddSetting(root, last, key, value);
  }
  // Raw, so the whitespace the file holds is its layout; the nodes around
  // the root each take a line, as the parser keeps no text between them.
  std::ostringstream text;
  for (pugi::xml_node node : document.children()) {
    node.print(text, "", pugi::format_raw);
    text << '\n';
  }
  return text.str();
}
void AppSettings::SetValue(const std::string& key, const std::string& value) {
  Values[key] = value;
  Save();
}

}  // namespace brelvint
