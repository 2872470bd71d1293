#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>

#include "config/AppSettings.h"
#include "support/TempFolder.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;
using Values = std::map<std::string, std::string>;

const char kGoodFile[] =
    "<?xml version=\"1.0\"?>\n<settings>\n"
    "  <setting namestring=\"StatusToken\" valuestring=\"t0ken\" />\n"
    "  <setting namestring=\"Colour\" valuestring=\"teal\" />\n</settings>\n";

TEST(AppSettingsTest, AWellFormedFileReplacesEveryValue) {
  TempFolder temp;
  AppSettings settings(temp.WriteFile("brelvint.conf", kGoodFile));
  settings.Values = {{"Stale", "gone"}};
  std::string error;
  ASSERT_TRUE(settings.Load(&error)) << error;
  EXPECT_EQ(settings.Values, (Values{{"Colour", "teal"}, {"StatusToken", "t0ken"}}));
}

TEST(AppSettingsTest, AMissingFileReadsAsThePortAloneAndIsNotCreated) {
  TempFolder temp;
  AppSettings settings(temp.Path() / "brelvint.conf");
  std::string error;
  ASSERT_TRUE(settings.Load(&error));
  EXPECT_EQ(settings.Values, (Values{{"Port", "12000"}}));
  EXPECT_FALSE(fs::exists(temp.Path() / "brelvint.conf"));
}

// A file that exists but cannot be parsed: the values in memory stay, the
// file keeps every byte, and the error says where the parser stopped.
struct Broken {
  const char* name;
  std::string text;
  std::string message;  // what the error holds after "<file>: "
};

void PrintTo(const Broken& broken, std::ostream* out) { *out << broken.name; }

class AppSettingsBrokenTest : public ::testing::TestWithParam<Broken> {};

TEST_P(AppSettingsBrokenTest, LeavesFileAndValuesAsTheyWere) {
  TempFolder temp;
  fs::path file = temp.WriteFile("brelvint.conf", GetParam().text);
  AppSettings settings(file);
  settings.Values = {{"StatusAddress", "127.0.0.1:1"}};
  std::string error;
  EXPECT_FALSE(settings.Load(&error));
  EXPECT_EQ(error, file.string() + ": " + GetParam().message);
  EXPECT_EQ(settings.Values, (Values{{"StatusAddress", "127.0.0.1:1"}}));
  EXPECT_EQ(temp.ReadFile("brelvint.conf"), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Files, AppSettingsBrokenTest,
    ::testing::Values(
        Broken{"UnclosedElement",
               "<settings>\n  <setting namestring=\"A\" valuestring=\"1\" />\n  <setting\n",
               "Error parsing start element tag at line 3, column 11"},
        Broken{"UnclosedRoot", "<settings>\n  <setting namestring=\"A\" valuestring=\"1\" />\n",
               "Start-end tags mismatch at line 2, column 45"},
        Broken{"Empty", "", "No document element found at line 1, column 1"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(AppSettingsTest, AFolderInThePlaceOfTheFileIsAReadError) {
  TempFolder temp;
  fs::create_directories(temp.Path() / "brelvint.conf");
  AppSettings settings(temp.Path() / "brelvint.conf");
  std::string error;
  EXPECT_FALSE(settings.Load(&error));
  EXPECT_EQ(error, (temp.Path() / "brelvint.conf").string() + ": not a regular file");
  EXPECT_TRUE(fs::is_directory(temp.Path() / "brelvint.conf"));
}

// A save over a file that was read keeps the operator's comments, layout
// and order of keys: a changed value is set in place, and a new key follows
// the last one on a line of its own, indented like it.
TEST(AppSettingsTest, ASaveKeepsCommentsLayoutAndOrder) {
  const std::string before =
      "<?xml version=\"1.0\"?>\n"
      "<!-- our settings -->\n"
      "<settings>\n"
      "    <!-- the endpoint -->\n"
      "    <setting namestring=\"StatusAddress\" valuestring=\"127.0.0.1:1\"/>\n"
      "    <setting namestring=\"Colour\" valuestring=\"teal\"/>\n"
      "    <!-- the end -->\n"
      "</settings>\n";
  TempFolder temp;
  AppSettings settings(temp.WriteFile("brelvint.conf", before));
  std::string error;
  ASSERT_TRUE(settings.Load(&error)) << error;
  settings.Save();  // nothing changed: not a byte is written
  EXPECT_EQ(temp.ReadFile("brelvint.conf"), before);
  settings.GetValue("AttachedNIC", "02:00:00:00:00:01");
  settings.SetValue("StatusAddress", "127.0.0.1:2&3");
  EXPECT_EQ(temp.ReadFile("brelvint.conf"),
            "<?xml version=\"1.0\"?>\n"
            "<!-- our settings -->\n"
            "<settings>\n"
            "    <!-- the endpoint -->\n"
            "    <setting namestring=\"StatusAddress\" valuestring=\"127.0.0.1:2&amp;3\"/>\n"
            "    <setting namestring=\"Colour\" valuestring=\"teal\"/>\n"
            "    <setting namestring=\"AttachedNIC\" valuestring=\"02:00:00:00:00:01\"/>\n"
            "    <!-- the end -->\n"
            "</settings>\n");
  AppSettings reread(temp.Path() / "brelvint.conf");
  ASSERT_TRUE(reread.Load(&error)) << error;
  EXPECT_EQ(reread.Values, (Values{{"AttachedNIC", "02:00:00:00:00:01"},
                                   {"Colour", "teal"},
                                   {"StatusAddress", "127.0.0.1:2&3"}}));
}

// A root without a setting still takes the new key inside it.
TEST(AppSettingsTest, ASaveAddsToARootWithoutSettings) {
  TempFolder temp;
  AppSettings settings(temp.WriteFile("brelvint.conf", "<settings><!-- none yet --></settings>"));
  std::string error;
  ASSERT_TRUE(settings.Load(&error)) << error;
  settings.SetValue("Port", "12000");
  EXPECT_EQ(temp.ReadFile("brelvint.conf"),
            "<settings><!-- none yet -->\n  <setting namestring=\"Port\" "
            "valuestring=\"12000\"/>\n</settings>\n");
}

}  // namespace
}  // namespace brelvint
