#include <gtest/gtest.h>

#include <string>

#include "base/TextUtf8.h"
#include "service/StatusReport.h"

namespace brelvint {
namespace {

// Prometheus rejects a whole scrape over one label value that is not
// UTF-8, so every byte sequence must come out valid and escaped.
TEST(StatusReportTest, LabelValuesAreEscapedAndAlwaysValidUtf8) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"Britain", "Britain"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"back\\slash", "back\\\\slash"},
      {"two\nlines", "two\\nlines"},
      {"Caf\xC3\xA9", "Caf\xC3\xA9"},                            // valid: kept
      {"Caf\xE9", "Caf\xEF\xBF\xBD"},                            // Latin-1 byte
      {"\xFF\xFE", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // one mark per bad byte
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},          // sequence cut short
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
  };
  for (const auto& c : cases) {
    std::string value = StatusReport::LabelValue(c.in);
    EXPECT_EQ(value, c.out) << c.in;
    EXPECT_TRUE(TextUtf8::IsValid(value)) << c.in;
  }
}

TEST(StatusReportTest, CommandsAreLabelledByName) {
  EXPECT_STREQ(StatusReport::CommandName(4), "position");
  EXPECT_STREQ(StatusReport::CommandName(7), "chat");
  EXPECT_STREQ(StatusReport::CommandName(999), "goodbye");
  EXPECT_STREQ(StatusReport::CommandName(6), "other");
  EXPECT_STREQ(StatusReport::CommandName(-1), "other");
}

}  // namespace
}  // namespace brelvint
