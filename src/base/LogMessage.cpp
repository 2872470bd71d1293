#include "base/LogMessage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <fmt/format.h>

#include "base/Paths.h"

namespace brelvint::modGlobal {

namespace {

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

void LogMessage(std::string_view message, bool startNewFile) {
  std::string line = LogPrefix();
  line.append(message);
  line.push_back('\n');

  auto home = Paths::HomeFolder();
  if (!home) return;
  auto file_name = (*home / kLogFileName).string();
  std::FILE* file = std::fopen(file_name.c_str(), startNewFile ? "wb" : "ab");
  if (file == nullptr) {
    throw std::runtime_error(fmt::format("cannot open log file {}: {}", file_name,
                                         std::strerror(errno)));
  }
  size_t written = std::fwrite(line.data(), 1, line.size(), file);
  bool closed = std::fclose(file) == 0;
  if (written != line.size() || !closed) {
    throw std::runtime_error(fmt::format("cannot write log file {}", file_name));
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += fmt::format("\\x{:02x}", c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out;
}

}  // namespace brelvint::modGlobal
