#include "client/LocationPage.h"

namespace brelvint {

namespace {

constexpr std::string_view kMetaWord = "<meta";
constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";
constexpr char kQuote = '"';
// The service drops the leading zero of five-digit postal codes.
constexpr size_t kShortZipLength = 4;

std::string_view Trim(std::string_view text) {
  size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return std::string_view();
  size_t last = text.find_last_not_of(kWhiteSpace);
  return text.substr(first, last - first + 1);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

void Store(std::string_view name, std::string_view value, LocationPage& location) {
  if (EqualsIgnoringCase(name, "country")) {
    location.Country = std::string(value);
  } else if (EqualsIgnoringCase(name, "regioncode")) {
    location.State = std::string(value);
  } else if (EqualsIgnoringCase(name, "city")) {
    location.City = std::string(value);
  } else if (EqualsIgnoringCase(name, "timezone")) {
    location.TimeZone = std::string(value);
  } else if (EqualsIgnoringCase(name, "cityid")) {
    location.Zip = (value.size() == kShortZipLength ? "0" : "") + std::string(value);
  }
}

void ReadLine(std::string_view line, LocationPage& location) {
  if (!EqualsIgnoringCase(Trim(line.substr(0, line.find(' '))), kMetaWord)) return;
  size_t first = line.find(kQuote);
  if (first == std::string_view::npos) return;
  size_t second = line.find(kQuote, first + 1);
  if (second == std::string_view::npos) return;
  size_t third = line.find(kQuote, second + 1);
  if (third == std::string_view::npos) return;
  size_t fourth = line.find(kQuote, third + 1);
  std::string_view name = line.substr(first + 1, second - first - 1);
  std::string_view value = fourth == std::string_view::npos
                               ? line.substr(third + 1)
                               : line.substr(third + 1, fourth - third - 1);
  Store(name, value, location);
}

}  // namespace

LocationPage LocationPage::Parse(std::string_view page) {
  LocationPage location;
  size_t start = 0;
  while (true) {
    size_t end = page.find('\n', start);
    ReadLine(
        page.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start),
        location);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return location;
}

}  // namespace brelvint
