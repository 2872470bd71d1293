#include "service/LiftRequest.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "config/AtomicFile.h"

namespace brelvint {

namespace {

constexpr const char kLifted[] = "lifted";
constexpr const char kNotPending[] = "not pending";
// How often the command looks for the answer.
constexpr std::chrono::milliseconds kPoll{20};

std::filesystem::path FileOf(const std::filesystem::path& folder, const std::string& key,
                             const char* suffix) {
  return folder / (std::string(LiftRequest::kPrefix) + key + suffix);
}

bool ReadAll(const std::filesystem::path& file, std::string* text) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  *text = bytes.str();
  return true;
}

// Whole or not at all, without a sync: the answer lives for a moment, and
// the loop that writes it must not wait for a disk.
void WriteAnswer(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::path temp = file;
  temp += ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return;
  }
  std::error_code ignored;
  std::filesystem::rename(temp, file, ignored);
}

bool IsWholeNumber(const std::string& text) {
  return !text.empty() && text.size() <= 18 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

LiftRequest::Answer LiftRequest::Ask(const std::filesystem::path& folder, pid_t server, int64_t id,
                                     const std::string& account, std::chrono::milliseconds wait,
                                     std::string* line) {
  const std::string key = std::to_string(::getpid());
  const auto request = FileOf(folder, key, kRequestSuffix);
  const auto answer = FileOf(folder, key, kAnswerSuffix);
  std::error_code ignored;
  std::filesystem::remove(answer, ignored);  // one of an earlier process of this pid
  std::string error;
  if (!AtomicFile::Replace(request, std::to_string(id) + "\n" + account + "\n", &error)) {
    *line = error;
    return Answer::kNoAnswer;
  }
  if (::kill(server, kSignal) != 0) {
    std::filesystem::remove(request, ignored);
    *line = "cannot signal the server (process " + std::to_string(server) + ")";
    return Answer::kNoAnswer;
  }
  auto deadline = std::chrono::steady_clock::now() + wait;
  std::string text;
  while (!ReadAll(answer, &text)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      std::filesystem::remove(request, ignored);
      // An answer written in the meantime is read after all.
      if (ReadAll(answer, &text)) break;
      *line = "the server (process " + std::to_string(server) + ") did not answer within " +
              std::to_string(wait.count()) + " ms";
      return Answer::kNoAnswer;
    }
    std::this_thread::sleep_for(kPoll);
  }
  std::filesystem::remove(answer, ignored);
  size_t end = text.find('\n');
  std::string verdict = text.substr(0, end);
  if (verdict != kLifted) return Answer::kNotPending;
  *line = end == std::string::npos ? std::string() : text.substr(end + 1);
  while (!line->empty() && line->back() == '\n') line->pop_back();
  return Answer::kLifted;
}

void LiftRequest::AnswerAll(const std::filesystem::path& folder, const Lift& lift) {
  std::error_code ec;
  std::vector<std::string> keys;
  const std::string prefix = kPrefix;
  const std::string suffix = kRequestSuffix;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string key = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (IsWholeNumber(key)) keys.push_back(key);
  }
  for (const std::string& key : keys) {
    const auto request = FileOf(folder, key, kRequestSuffix);
    std::string text;
    bool read = ReadAll(request, &text);
    std::filesystem::remove(request, ec);
    if (!read) continue;
    std::istringstream lines(text);
    std::string number, account;
    std::getline(lines, number);
    std::getline(lines, account);
    if (!IsWholeNumber(number)) continue;
    std::optional<std::string> lifted = lift(std::stoll(number), account);
    std::string reply =
        lifted ? std::string(kLifted) + "\n" + *lifted + "\n" : std::string(kNotPending) + "\n";
    WriteAnswer(FileOf(folder, key, kAnswerSuffix), reply);
  }
}

}  // namespace brelvint
