#pragma once

#include <filesystem>
#include <pugixml.hpp>
#include <string>

namespace brelvint {

// The one wording of an XML file that cannot be parsed, shared by the
// settings reader and the configuration check.
class XmlError {
 public:
  // "<file>: <parser message> at line L, column C", counted from the
  // parser's byte offset in the file (both from 1, columns in bytes).
  static std::string Describe(const std::filesystem::path& file,
                              const pugi::xml_parse_result& result);
};

}  // namespace brelvint
