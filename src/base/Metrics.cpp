#include "base/Metrics.h"

namespace brelvint {

Metrics& Metrics::Process() {
  static Metrics* metrics = new Metrics();  // never destroyed: counted until exit
  return *metrics;
}

void Metrics::ObservePass(std::chrono::steady_clock::duration elapsed) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
  size_t bucket = 0;
  while (bucket < kPassBucketMicros.size() && micros > kPassBucketMicros[bucket]) ++bucket;
  ++pass_buckets[bucket];
  ++pass_count;
  pass_total += elapsed;
}

}  // namespace brelvint
