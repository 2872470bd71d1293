#include "client/LocationPage.h"

#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace brelvint {
namespace {

struct Fields {
  std::string country, state, city, zip, time_zone;
};

Fields Of(const LocationPage& page) {
  return {page.Country, page.State, page.City, page.Zip, page.TimeZone};
}

bool operator==(const Fields& a, const Fields& b) {
  return std::tie(a.country, a.state, a.city, a.zip, a.time_zone) ==
         std::tie(b.country, b.state, b.city, b.zip, b.time_zone);
}

std::ostream& operator<<(std::ostream& out, const Fields& f) {
  return out << "{country=" << testing::PrintToString(f.country)
             << " state=" << testing::PrintToString(f.state)
             << " city=" << testing::PrintToString(f.city)
             << " zip=" << testing::PrintToString(f.zip)
             << " time_zone=" << testing::PrintToString(f.time_zone) << "}";
}

Fields City(const std::string& city) { return {"", "", city, "", ""}; }

struct Case {
  const char* label;
  std::string page;
  Fields expected;
};

TEST(LocationPageTest, ReadsMetaLines) {
  const Case cases[] = {
      {"country", "<meta name=\"country\" content=\"Canada\">", {"Canada", "", "", "", ""}},
      {"four-digit cityid gets a leading zero",
       "<meta name=\"cityid\" content=\"7201\">",
       {"", "", "", "07201", ""}},
      {"five-digit cityid unchanged",
       "<meta name=\"cityid\" content=\"10115\">",
       {"", "", "", "10115", ""}},
      {"regioncode and timezone",
       "<meta name=\"regioncode\" content=\"ON\">\n"
       "<meta name=\"timezone\" content=\"-05:00\">",
       {"", "ON", "", "", "-05:00"}},
      {"tag and name in any case", "<META name=\"City\" content=\"Oslo\">", City("Oslo")},
      {"indented with blanks ignored", "   <meta name=\"city\" content=\"Oslo\">", City("")},
      {"indented with a tab used", "\t<meta name=\"city\" content=\"Oslo\">", City("Oslo")},
      {"only two quotes ignored", "<meta name=\"city\" content=Oslo>", City("")},
      {"later line wins",
       "<meta name=\"city\" content=\"Oslo\">\n<meta name=\"city\" content=\"Bergen\">",
       City("Bergen")},
      {"no fourth quote: value runs to the line end", "<meta name=\"city\" content=\"Oslo>\nx",
       City("Oslo>")},
      {"carriage return stays in the line", "<meta name=\"city\" content=\"Oslo\r\n",
       City("Oslo\r")},
      {"CRLF lines", "<meta name=\"city\" content=\"Oslo\">\r\n<p>\r\n", City("Oslo")},
      {"third quote ends the line", "<meta name=\"city\" content=\"", City("")},
      {"value stored as it stands", "<meta name=\"city\" content=\" Saint-Jean & co \">",
       City(" Saint-Jean & co ")},
      {"other names ignored", "<meta name=\"citycode\" content=\"X\">", City("")},
      {"longer tag ignored", "<metadata name=\"city\" content=\"Oslo\">", City("")},
      {"no blank after the tag", "<meta\tname=\"city\" content=\"Oslo\">", City("")},
      {"quotes on other lines do not count", "<meta name=\"city\n\" content=\"Oslo\">", City("")},
      {"empty page", "", City("")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Of(LocationPage::Parse(c.page)), c.expected);
  }
}

TEST(LocationPageTest, ReadsATypicalPage) {
  const std::string page =
      "<html>\r\n<head>\r\n"
      "<meta name=\"country\" content=\"United States\">\r\n"
      "<meta name=\"regioncode\" content=\"NJ\">\r\n"
      "<meta name=\"city\" content=\"Newark\">\r\n"
      "<meta name=\"cityid\" content=\"7102\">\r\n"
      "<meta name=\"timezone\" content=\"America/New_York\">\r\n"
      "</head>\r\n</html>\r\n";
  EXPECT_EQ(Of(LocationPage::Parse(page)),
            (Fields{"United States", "NJ", "Newark", "07102", "America/New_York"}));
}

// Every prefix of a page full of edge cases, so a sanitizer build catches
// any read past the end of a line or of the page.
TEST(LocationPageTest, AnyTruncationIsSafe) {
  const std::string page =
      "<meta \"\"\"\n<MeTa name=\"cityid\" content=\"1234\"\n\t<meta \"a\"\"\r\n"
      "<meta name=\"city\" content=\"\"\"\"\"\n<meta\n\"\"\"\n<meta ";
  for (size_t length = 0; length <= page.size(); ++length) {
    LocationPage parsed = LocationPage::Parse(std::string_view(page.data(), length));
    EXPECT_LE(parsed.City.size(), page.size());
  }
  EXPECT_EQ(LocationPage::Parse(page).Zip, "01234");
}

}  // namespace
}  // namespace brelvint
