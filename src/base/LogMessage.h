#pragma once

#include <string>
#include <string_view>

namespace brelvint {

// The service's one log routine and the text helpers that go with it.
namespace modGlobal {

// Name of the log file in the home folder of the account running the service.
inline constexpr const char kLogFileName[] = "com.brelvint.log";

// Writes "[<date> <time>] <message>" as one line to the log file (opened
// and closed for this line; created anew when `startNewFile` is true), then
// the same line to standard output. Throws std::runtime_error naming the
// file when the log cannot be written: the service cannot run without it.
void LogMessage(std::string_view message, bool startNewFile = false);

// The "[date time] " prefix for the current local time, in the locale's
// short date (%x) and time (%X) forms.
std::string LogPrefix();

// Client-supplied text made safe for a log line: control characters become
// visible escapes (a line feed becomes \n, other bytes \xNN) so a client
// cannot forge lines. Printable bytes, including UTF-8, pass unchanged.
std::string EscapeForLog(std::string_view text);

}  // namespace modGlobal
}  // namespace brelvint
