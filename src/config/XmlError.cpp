#include "config/XmlError.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace brelvint {

std::string XmlError::Describe(const std::filesystem::path& file,
                               const pugi::xml_parse_result& result) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t offset = std::min(static_cast<size_t>(std::max<ptrdiff_t>(result.offset, 0)), text.size());
  size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
  size_t line_start = offset == 0 ? std::string::npos : text.rfind('\n', offset - 1);
  size_t column = line_start == std::string::npos ? offset + 1 : offset - line_start;
  return file.string() + ": " + result.description() + " at line " + std::to_string(line) +
         ", column " + std::to_string(column);
}

}  // namespace brelvint
