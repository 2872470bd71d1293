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

}  // namespace
}  // namespace brelvint
