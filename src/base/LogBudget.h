#pragma once

#include <chrono>
#include <cstdint>

namespace brelvint {

// How many lines one source may add to the log: a burst of kBurst lines,
// then one every kInterval. A client that repeats a refused step thousands
// of times a second would otherwise write megabytes a second, fill the disk
// and push the real login and ban lines out of a rate-limited journal.
// Small enough to sit in every connection (16 bytes); not thread-safe.
class LogBudget {
 public:
  static constexpr int kBurst = 5;
  static constexpr std::chrono::milliseconds kInterval{500};

  enum class Verdict : uint8_t {
    kLog,              // within the budget: write the line
    kFirstSuppressed,  // the source's first line over it: say that lines are left out
    kSuppressed,       // over it again: write nothing
  };

  // Spends one line at `now`.
  Verdict Take(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  // Lines left out so far (the first over the budget included).
  uint32_t Suppressed() const { return suppressed_; }

 private:
  // The moment the budget is whole again; lines are allowed while it lies
  // at most kBurst intervals ahead of now.
  std::chrono::steady_clock::time_point full_at_{};
  // Lines left out; the first one left out is the only one announced.
  uint32_t suppressed_ = 0;
};

}  // namespace brelvint
