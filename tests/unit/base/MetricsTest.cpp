#include "base/Metrics.h"

#include <chrono>

#include <gtest/gtest.h>

namespace brelvint {
namespace {

using std::chrono::microseconds;

// Prometheus buckets hold values up to and including their bound; a pass
// longer than the last bound is counted only in +Inf.
TEST(MetricsTest, PassTimesLandInTheBucketOfTheirUpperBound) {
  struct Case {
    microseconds elapsed;
    size_t bucket;
  } cases[] = {
      {microseconds(0), 0},      {microseconds(10), 0},       {microseconds(11), 1},
      {microseconds(25), 1},     {microseconds(999), 6},      {microseconds(1000), 6},
      {microseconds(1001), 7},   {microseconds(250000), 11},  {microseconds(250001), 12},
      {std::chrono::seconds(30), Metrics::kPassBucketMicros.size()},
  };
  for (const auto& c : cases) {
    Metrics metrics;
    metrics.ObservePass(c.elapsed);
    for (size_t i = 0; i < metrics.pass_buckets.size(); ++i) {
      EXPECT_EQ(metrics.pass_buckets[i], i == c.bucket ? 1u : 0u)
          << c.elapsed.count() << " us, bucket " << i;
    }
    EXPECT_EQ(metrics.pass_count, 1u);
    EXPECT_EQ(metrics.pass_total, c.elapsed);
  }
}

TEST(MetricsTest, CommandsOutsideTheCountedRangeShareOneCounter) {
  Metrics metrics;
  for (int32_t command : {4, 4, 999, Metrics::kCommandSlots, -1, 2147483647}) {
    metrics.CountCommand(command);
  }
  EXPECT_EQ(metrics.commands[4], 2u);
  EXPECT_EQ(metrics.commands[999], 1u);
  EXPECT_EQ(metrics.other_commands, 3u);
}

}  // namespace
}  // namespace brelvint
