#pragma once

#include <string>
#include <vector>

namespace brelvint {

// Rows of text as the command line prints them: one line per row, each
// column padded to its widest cell plus two spaces, the last one unpadded.
// The cells are printed as given: text from clients must be escaped first.
class TextTable {
 public:
  static std::string Render(const std::vector<std::vector<std::string>>& rows);
};

}  // namespace brelvint
