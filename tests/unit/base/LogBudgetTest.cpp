#include <gtest/gtest.h>

#include "base/LogBudget.h"

namespace brelvint {
namespace {

using Verdict = LogBudget::Verdict;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(LogBudgetTest, ABurstThenOneLinePerIntervalThenWholeAgainAfterQuiet) {
  LogBudget budget;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < LogBudget::kBurst; ++i) EXPECT_EQ(budget.Take(start), Verdict::kLog) << i;
  EXPECT_EQ(budget.Take(start), Verdict::kFirstSuppressed);
  EXPECT_EQ(budget.Take(start), Verdict::kSuppressed);
  // One interval later exactly one more line fits.
  auto later = start + LogBudget::kInterval;
  EXPECT_EQ(budget.Take(later), Verdict::kLog);
  EXPECT_EQ(budget.Take(later), Verdict::kSuppressed);  // announced once only
  // A sustained flood gets one line per interval, no more.
  int logged = 0;
  for (int ms = 1; ms <= 10000; ++ms) {
    if (budget.Take(later + milliseconds(ms)) == Verdict::kLog) ++logged;
  }
  EXPECT_EQ(logged, 10000 / LogBudget::kInterval.count());
  // After a quiet spell the whole burst is back.
  auto quiet = later + seconds(60);
  for (int i = 0; i < LogBudget::kBurst; ++i) EXPECT_EQ(budget.Take(quiet), Verdict::kLog) << i;
  EXPECT_EQ(budget.Take(quiet), Verdict::kSuppressed);
  EXPECT_EQ(budget.Suppressed(), 3u + 10000u - static_cast<unsigned>(logged) + 1u);
}

}  // namespace
}  // namespace brelvint
