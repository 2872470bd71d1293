#include "base/LogBudget.h"

#include <algorithm>

namespace brelvint {

LogBudget::Verdict LogBudget::Take(std::chrono::steady_clock::time_point now) {
  auto next = std::max(full_at_, now) + kInterval;
  if (next - now <= kBurst * kInterval) {
    full_at_ = next;
    return Verdict::kLog;
  }
  return ++suppressed_ == 1 ? Verdict::kFirstSuppressed : Verdict::kSuppressed;
}

}  // namespace brelvint
