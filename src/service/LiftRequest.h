#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace brelvint {

// How `brelvint bans lift` lifts a ban the running server has recorded and
// not yet written (an operator's session holding the database): such a ban
// lives in the server's memory and its writer's queue, which only the
// server can change. The command writes a request into the data folder,
// "brelvint-lift-<its pid>.request" (the ban's number and the operator's
// account, a line each), and sends the server kSignal; the server lifts the
// ban, logs the lift and answers beside it in "brelvint-lift-<pid>.answer",
// which the command reads and removes. Both files are put in place by a rename,
// so neither side ever reads half of one. Only a process that may write the
// data folder (and so the database itself) can ask.
class LiftRequest {
 public:
  static constexpr int kSignal = SIGUSR1;
  static constexpr const char kPrefix[] = "brelvint-lift-";
  static constexpr const char kRequestSuffix[] = ".request";
  static constexpr const char kAnswerSuffix[] = ".answer";

  enum class Answer {
    kLifted,      // the server lifted it; `line` is its log line
    kNotPending,  // the server holds no such ban in memory (written meanwhile, or none)
    kNoAnswer,    // no answer within the wait (`line` says why); the request is withdrawn
  };

  // The command's side: asks `server` (a pid) to lift pending ban `id` for
  // `account`, waiting at most `wait` for the answer.
  static Answer Ask(const std::filesystem::path& folder, pid_t server, int64_t id,
                    const std::string& account, std::chrono::milliseconds wait, std::string* line);

  // The server's side, at kSignal: answers every request in `folder`.
  // `lift` lifts ban `id` for `account` when the server holds it unwritten
  // and returns the lift's log line (it logs it too); nullopt when it does
  // not hold it. Requests that cannot be read are removed unanswered.
  using Lift = std::function<std::optional<std::string>(int64_t id, const std::string& account)>;
  static void AnswerAll(const std::filesystem::path& folder, const Lift& lift);
};

}  // namespace brelvint
