#pragma once

#include <string>
#include <string_view>

namespace brelvint {

// What the IP-location web service says about an address, read from the
// <meta> lines of its answer page. A field the page does not name stays
// empty; values are kept exactly as the page gives them.
struct LocationPage {
  std::string Country;
  std::string State;
  std::string City;
  std::string Zip;
  std::string TimeZone;

  // Reads every line of `page` (lines end at "\n"; a "\r" before it stays
  // part of the line). A line counts when its first word, up to the first
  // blank and trimmed of white space, is "<meta" in any letter case and it
  // holds at least three double quotes: the name is the text between the
  // first two quotes, the value the text after the third, up to the fourth
  // or the end of the line. Names compare ignoring case; a later line wins.
  // Any input is safe, however malformed.
  static LocationPage Parse(std::string_view page);
};

}  // namespace brelvint
