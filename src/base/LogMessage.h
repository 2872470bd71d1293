#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brelvint {

// The service's one log routine and the text helpers that go with it.
namespace modGlobal {

// Name of the log file in the home folder of the account running the service.
inline constexpr const char kLogFileName[] = "com.brelvint.log";
// Appended to the log's name for the previous run's log, kept at each start.
inline constexpr const char kPreviousLogSuffix[] = ".1";

// Client text shown in a log line at most; the rest is counted, not shown,
// so a client cannot grow the log faster than a few lines per message.
inline constexpr size_t kMaxLoggedClientBytes = 128;

// Names the log file (--log-file); called once at start, before any line.
void SetLogFile(std::filesystem::path file);
// The log file: the one SetLogFile named, else kLogFileName in the home
// folder; empty when there is no home folder either.
std::optional<std::filesystem::path> LogFilePath();

// Writes "[<date> <time>] <message>" as one line to the log file (opened
// and closed for this line; created anew when `startNewFile` is true, the
// previous file first kept as "<log>.1", replacing an older one), then
// the same line to standard output. Starting the new file is the start-up
// check: when that fails it throws std::runtime_error naming the file, as
// the service must not start without its log. Any later failure (a full
// disk, a folder made read-only) never ends the service: the line still
// goes to standard output, and standard error gets one note for each run
// of failed writes.
void LogMessage(std::string_view message, bool startNewFile = false);

// While on, LogMessage writes nothing anywhere: a configuration check reads
// files with the service's own readers and must leave the live log alone.
void DiscardLogLines(bool discard);

// The "[date time] " prefix for the current local time, in the locale's
// short date (%x) and time (%X) forms.
std::string LogPrefix();

// Client-supplied text made safe for a log line: control characters
// (C0, DEL and C1) and bytes that are not well-formed UTF-8 become visible
// escapes (a line feed becomes \n, other bytes \xNN) so a client cannot
// forge lines or break a reader of the log. Other characters pass
// unchanged. Only the first kMaxLoggedClientBytes bytes of `text` are shown
// (never half a character); the marker "... (<n> more bytes)" follows when
// the rest is left out.
std::string EscapeForLog(std::string_view text);

}  // namespace modGlobal
}  // namespace brelvint
