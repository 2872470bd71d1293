#include "base/LogMessage.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "base/Paths.h"
#include "base/TextUtf8.h"

namespace brelvint::modGlobal {

namespace {

// Written to standard error when the log stops taking lines.
constexpr const char kLogWriteFailedNote[] =
    "{}; log lines go to standard output only until the log can be written again.\n";
constexpr const char kCannotOpen[] = "cannot open log file {}: {}";
constexpr const char kCannotWrite[] = "cannot write log file {}";
// Follows client text that was cut short in a log line.
constexpr const char kCutMarker[] = "... ({} more bytes)";

// True from a failed log write until the next one succeeds: one note on
// standard error per run of failures, not one per line. Loop thread only.
bool g_log_failing = false;
bool g_discard_lines = false;
std::filesystem::path g_log_file;  // empty: kLogFileName in the home folder

constexpr const char kCannotKeepPrevious[] = "cannot keep the previous log as {}: {}\n";

// Keeps the previous run's log as "<log>.1": a restart after a crash must
// not erase the lines that led up to it.
void KeepPreviousLog(const std::string& file_name) {
  struct stat about {};
  // Only a log is kept: anything else standing there fails the start as before.
  if (::lstat(file_name.c_str(), &about) != 0 || !S_ISREG(about.st_mode)) return;
  std::string previous = file_name + kPreviousLogSuffix;
  if (std::rename(file_name.c_str(), previous.c_str()) == 0 || errno == ENOENT) return;
  std::fputs(fmt::format(kCannotKeepPrevious, previous, std::strerror(errno)).c_str(), stderr);
}

// Appends `line` to the log file; false with `failure` (naming the file)
// set when it cannot.
bool AppendToLogFile(const std::string& file_name, const std::string& line, bool startNewFile,
                     std::string* failure) {
  std::FILE* file = std::fopen(file_name.c_str(), startNewFile ? "wb" : "ab");
  if (file == nullptr) {
    *failure = fmt::format(kCannotOpen, file_name, std::strerror(errno));
    return false;
  }
  size_t written = std::fwrite(line.data(), 1, line.size(), file);
  bool closed = std::fclose(file) == 0;
  if (written != line.size() || !closed) {
    *failure = fmt::format(kCannotWrite, file_name);
    return false;
  }
  return true;
}

void AppendEscapedByte(std::string& out, unsigned char c) {
  switch (c) {
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\\':
      out += "\\\\";
      break;
    default:
      out += fmt::format("\\x{:02x}", c);
  }
}

std::string FormatLocal(const std::tm& local, const char* pattern) {
  char text[128];
  size_t length = std::strftime(text, sizeof text, pattern, &local);
  return std::string(text, length);
}

}  // namespace

std::string LogPrefix() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return "[" + FormatLocal(local, "%x") + " " + FormatLocal(local, "%X") + "] ";
}

void DiscardLogLines(bool discard) { g_discard_lines = discard; }

void SetLogFile(std::filesystem::path file) { g_log_file = std::move(file); }

std::optional<std::filesystem::path> LogFilePath() {
  if (!g_log_file.empty()) return g_log_file;
  auto home = Paths::HomeFolder();
  if (!home) return std::nullopt;
  return *home / kLogFileName;
}

void LogMessage(std::string_view message, bool startNewFile) {
  if (g_discard_lines) return;
  std::string line = LogPrefix();
  line.append(message);
  line.push_back('\n');

  auto path = LogFilePath();
  if (!path) return;
  auto file_name = path->string();
  if (startNewFile) KeepPreviousLog(file_name);
  std::string failure;
  if (AppendToLogFile(file_name, line, startNewFile, &failure)) {
    g_log_failing = false;
  } else if (startNewFile) {
    throw std::runtime_error(failure);
  } else if (!g_log_failing) {
    g_log_failing = true;
    std::fputs(fmt::format(kLogWriteFailedNote, failure).c_str(), stderr);
    std::fflush(stderr);
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(std::min(text.size(), kMaxLoggedClientBytes) + 16);
  size_t at = 0;
  while (at < text.size()) {
    size_t length = TextUtf8::SequenceLength(text, at);
    size_t step = std::max<size_t>(length, 1);  // a malformed byte goes alone
    if (at + step > kMaxLoggedClientBytes) break;
    auto c = static_cast<unsigned char>(text[at]);
    bool c1_control = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    // Invisible reordering or a line separator would let a client's text
    // hide part of a line or forge one of its own.
    bool hidden = length > 1 && TextUtf8::IsHiddenFormat(TextUtf8::CodePoint(text, at, length));
    if (length == 0 || c1_control || hidden || c < 0x20 || c == 0x7f || c == '\\') {
      for (size_t k = 0; k < step; ++k)
        AppendEscapedByte(out, static_cast<unsigned char>(text[at + k]));
    } else {
      out.append(text.substr(at, length));
    }
    at += step;
  }
  if (at < text.size()) out += fmt::format(kCutMarker, text.size() - at);
  return out;
}

}  // namespace brelvint::modGlobal
