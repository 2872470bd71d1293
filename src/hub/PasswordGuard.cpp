#include "hub/PasswordGuard.h"

#include <algorithm>

#include "base/LogMessage.h"
#include "base/TextCase.h"

namespace brelvint {

void PasswordGuard::RecordRefusedPassword(const std::string& address) {
  auto now = std::chrono::steady_clock::now();
  Guesses& guesses = guesses_[TextCase::Lower(address)];
  auto window_start = now - std::chrono::seconds(kPasswordBlockSeconds);
  auto& refused = guesses.refused;
  refused.erase(std::remove_if(refused.begin(), refused.end(),
                               [&](auto when) { return when < window_start; }),
                refused.end());
  refused.push_back(now);
  if (refused.size() >= static_cast<size_t>(kMaxRefusedPasswords)) {
    guesses.blocked_until = now + std::chrono::seconds(kPasswordBlockSeconds);
    refused.clear();
    modGlobal::LogMessage(address + ": Too many failed logins; password attempts refused for " +
                          std::to_string(kPasswordBlockSeconds) + " seconds.");
  }
}

bool PasswordGuard::PasswordGuessingBlocked(const std::string& address) const {
  auto it = guesses_.find(TextCase::Lower(address));
  return it != guesses_.end() && std::chrono::steady_clock::now() < it->second.blocked_until;
}

void PasswordGuard::ForgetOldGuesses() {
  auto now = std::chrono::steady_clock::now();
  auto window_start = now - std::chrono::seconds(kPasswordBlockSeconds);
  for (auto it = guesses_.begin(); it != guesses_.end();) {
    const Guesses& guesses = it->second;
    bool recent = !guesses.refused.empty() && guesses.refused.back() >= window_start;
    if (!recent && now >= guesses.blocked_until) {
      it = guesses_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace brelvint
