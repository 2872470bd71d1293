#pragma once

#include <cstdint>
#include <vector>

#include "LatencyHistogram.h"

namespace brelvint {

// Accounts for every report sent and every delivery received. Members
// 0..reporters-1 are the reporters; a report is complete once every other
// member received it. Per receiver and reporter it keeps the last sequence
// number seen: a relay over one TCP stream keeps each reporter's order, so a
// number not above that one is a duplicate (or a reordering, equally a fault).
// Memory: one counter per report sent plus one per receiver-reporter pair.
class DeliveryTracker {
 public:
  enum class Outcome {
    kCounted,    // a first delivery of this report to this receiver
    kCompleted,  // ... and the last one the report was waiting for
    kDuplicate,
    kSelf,     // the reporter got its own report back
    kForeign,  // no report of ours carries that reporter and number
  };

  DeliveryTracker(uint32_t members, uint32_t reporters);

  // Registers the next report of `reporter`; returns its sequence number.
  int64_t AddReport(uint32_t reporter);

  Outcome AddDelivery(uint32_t receiver, int64_t reporter, int64_t sequence, int64_t latency_us);

  uint64_t reports() const { return reports_; }
  uint64_t completed() const { return completed_; }
  uint64_t deliveries() const { return deliveries_; }
  uint64_t duplicates() const { return duplicates_; }
  uint64_t self_deliveries() const { return self_deliveries_; }
  uint64_t foreign() const { return foreign_; }
  uint64_t Expected() const { return reports_ * (members_ - 1); }
  uint64_t Missing() const { return Expected() - deliveries_; }
  const LatencyHistogram& latency() const { return latency_; }

 private:
  const uint32_t members_;
  const uint32_t reporters_;
  std::vector<std::vector<uint32_t>> receivers_;  // [reporter][sequence]
  std::vector<int32_t> last_sequence_;            // [receiver * reporters + reporter]
  LatencyHistogram latency_;
  uint64_t reports_ = 0;
  uint64_t completed_ = 0;
  uint64_t deliveries_ = 0;
  uint64_t duplicates_ = 0;
  uint64_t self_deliveries_ = 0;
  uint64_t foreign_ = 0;
};

}  // namespace brelvint
