#pragma once

#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

namespace brelvint {

// Counts refused passwords per client address for the whole process. A
// member may select any network through any listener, so a count per
// listener would multiply the guesses an address gets; and a listener made
// anew by a reload would forget its blocks. Owned by App for the life of the
// process (tests own their own) and lent to every listener, which must not
// outlive it. Loop thread only.
class PasswordGuard {
 public:
  // After kMaxRefusedPasswords refusals from one address within a minute,
  // that address's attempts are refused without comparing for the next
  // kPasswordBlockSeconds.
  static constexpr int kMaxRefusedPasswords = 5;
  static constexpr int kPasswordBlockSeconds = 60;

  PasswordGuard() = default;
  PasswordGuard(const PasswordGuard&) = delete;
  PasswordGuard& operator=(const PasswordGuard&) = delete;

  // Logs one line when the address becomes blocked.
  void RecordRefusedPassword(const std::string& address);
  bool PasswordGuessingBlocked(const std::string& address) const;
  // Drops the counts that no longer matter, so addresses that guessed once
  // do not accumulate.
  void ForgetOldGuesses();

 private:
  struct Guesses {
    std::vector<std::chrono::steady_clock::time_point> refused;  // within the last minute
    std::chrono::steady_clock::time_point blocked_until;
  };

  std::unordered_map<std::string, Guesses> guesses_;  // by lower-cased address
};

}  // namespace brelvint
