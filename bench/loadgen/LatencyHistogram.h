#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brelvint {

// Counts latencies in microseconds in log-linear buckets (128 steps per power
// of two, so a percentile is off by under 1%). Recording is a few
// instructions and never allocates: it runs once per delivery.
class LatencyHistogram {
 public:
  LatencyHistogram();

  // Negative values count as 0; values past about 12 days count as that.
  void Record(int64_t micros);

  uint64_t Count() const { return count_; }
  int64_t Max() const { return max_; }

  // The smallest bucket value that at least `fraction` (0..1] of the samples
  // do not exceed, capped at the exact maximum; 0 when nothing was recorded.
  int64_t Percentile(double fraction) const;

 private:
  static size_t BucketOf(uint64_t value);
  static uint64_t UpperValueOf(size_t bucket);

  std::vector<uint64_t> buckets_;
  uint64_t count_ = 0;
  int64_t max_ = 0;
};

}  // namespace brelvint
