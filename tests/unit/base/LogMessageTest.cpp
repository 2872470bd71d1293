// The log: what client text looks like in a line, and a log file that stops
// taking lines after start-up.
#include "base/LogMessage.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/ScopedHome.h"
#include "support/TempFolder.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;
using modGlobal::EscapeForLog;
using modGlobal::LogMessage;

struct EscapeCase {
  const char* label;
  std::string text;
  std::string shown;
};

class EscapeForLogTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeForLogTest, ShowsTheExpectedText) {
  EXPECT_EQ(EscapeForLog(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeForLogTest,
    ::testing::Values(
        EscapeCase{"plain", "anna", "anna"},
        EscapeCase{"controls", "a\nb\r\t\x01\x7f\\", "a\\nb\\r\\t\\x01\\x7f\\\\"},
        EscapeCase{"utf8_passes", "J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x97\xba",
                   "J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x97\xba"},
        EscapeCase{"stray_bytes", "\xff\xfeok", "\\xff\\xfeok"},
        EscapeCase{"overlong", "\xc0\xaf", "\\xc0\\xaf"},
        EscapeCase{"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        EscapeCase{"cut_short_sequence", "ab\xe2\x82", "ab\\xe2\\x82"},
        EscapeCase{"c1_control", "a\xc2\x85z", "a\\xc2\\x85z"},
        EscapeCase{"exactly_the_limit", std::string(128, 'a'), std::string(128, 'a')},
        EscapeCase{"one_past_the_limit", std::string(129, 'a'),
                   std::string(128, 'a') + "... (1 more bytes)"},
        EscapeCase{"largest_packet", std::string(65528, 'a'),
                   std::string(128, 'a') + "... (65400 more bytes)"},
        EscapeCase{"never_half_a_character", std::string(127, 'a') + "\xc3\xa9",
                   std::string(127, 'a') + "... (2 more bytes)"},
        EscapeCase{"escaped_bytes_count_once", std::string(200, '\xff'),
                   [] {
                     std::string shown;
                     for (int i = 0; i < 128; ++i) shown += "\\xff";
                     return shown + "... (72 more bytes)";
                   }()}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() : home_(temp_.Path()) {}

  fs::path LogFile() const { return temp_.Path() / modGlobal::kLogFileName; }
  // The log file stops taking lines: a folder stands where it was.
  void BreakLog() {
    fs::remove(LogFile());
    fs::create_directory(LogFile());
  }
  void MendLog() { fs::remove(LogFile()); }
  std::string LogText() const { return temp_.ReadFile(modGlobal::kLogFileName); }

  TempFolder temp_;
  ScopedHome home_;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(LogFileTest, FailedWritesKeepServingWithOneNotePerRun) {
  LogMessage("started", true);
  BreakLog();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(LogMessage("first lost"));
  EXPECT_NO_THROW(LogMessage("second lost"));
  MendLog();
  LogMessage("back");
  BreakLog();
  EXPECT_NO_THROW(LogMessage("third lost"));
  std::string errors = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();

  for (const char* line : {"first lost\n", "second lost\n", "back\n", "third lost\n"}) {
    EXPECT_NE(out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(Count(errors, "\n"), 2u) << errors;  // one per run of failures
  EXPECT_EQ(Count(errors, LogFile().string()), 2u) << errors;
  MendLog();
  LogMessage("last");
  EXPECT_NE(LogText().find("last"), std::string::npos);
}

TEST_F(LogFileTest, StartingANewFileThatCannotBeWrittenIsAStartUpFailure) {
  BreakLog();
  testing::internal::CaptureStdout();
  try {
    LogMessage("Loading Settings...", true);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(LogFile().string()), std::string::npos)
        << error.what();
  }
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace brelvint
