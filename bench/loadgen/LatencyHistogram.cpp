#include "LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace brelvint {

namespace {

constexpr int kSubBucketBits = 7;
constexpr uint64_t kSubBucketCount = uint64_t{1} << kSubBucketBits;
constexpr uint64_t kHalfCount = kSubBucketCount / 2;
constexpr uint64_t kMaxValue = (uint64_t{1} << 40) - 1;

}  // namespace

LatencyHistogram::LatencyHistogram() : buckets_(BucketOf(kMaxValue) + 1, 0) {}

// Values below kSubBucketCount have a bucket each; above, every power of two
// is split into kHalfCount buckets of equal width.
size_t LatencyHistogram::BucketOf(uint64_t value) {
  if (value < kSubBucketCount) return static_cast<size_t>(value);
  int top_bit = 63 - __builtin_clzll(value);
  int shift = top_bit - (kSubBucketBits - 1);
  return static_cast<size_t>(shift * kHalfCount + (value >> shift));
}

uint64_t LatencyHistogram::UpperValueOf(size_t bucket) {
  if (bucket < kSubBucketCount) return bucket;
  uint64_t shift = bucket / kHalfCount - 1;
  uint64_t top = bucket % kHalfCount + kHalfCount;
  return ((top + 1) << shift) - 1;
}

void LatencyHistogram::Record(int64_t micros) {
  uint64_t value = micros < 0 ? 0 : static_cast<uint64_t>(micros);
  value = std::min(value, kMaxValue);
  ++buckets_[BucketOf(value)];
  ++count_;
  max_ = std::max(max_, static_cast<int64_t>(value));
}

int64_t LatencyHistogram::Percentile(double fraction) const {
  if (count_ == 0) return 0;
  auto wanted = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
  wanted = std::clamp<uint64_t>(wanted, 1, count_);
  uint64_t seen = 0;
  for (size_t bucket = 0; bucket < buckets_.size(); ++bucket) {
    seen += buckets_[bucket];
    if (seen >= wanted) {
      return std::min(static_cast<int64_t>(UpperValueOf(bucket)), max_);
    }
  }
  return max_;
}

}  // namespace brelvint
