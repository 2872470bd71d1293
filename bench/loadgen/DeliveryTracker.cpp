#include "DeliveryTracker.h"

namespace brelvint {

DeliveryTracker::DeliveryTracker(uint32_t members, uint32_t reporters)
    : members_(members),
      reporters_(reporters),
      receivers_(reporters),
      last_sequence_(static_cast<size_t>(members) * reporters, -1) {}

int64_t DeliveryTracker::AddReport(uint32_t reporter) {
  std::vector<uint32_t>& counts = receivers_[reporter];
  counts.push_back(0);
  ++reports_;
  return static_cast<int64_t>(counts.size() - 1);
}

DeliveryTracker::Outcome DeliveryTracker::AddDelivery(uint32_t receiver, int64_t reporter,
                                                      int64_t sequence, int64_t latency_us) {
  if (reporter < 0 || reporter >= reporters_ || receiver >= members_ || sequence < 0 ||
      sequence >= static_cast<int64_t>(receivers_[reporter].size())) {
    ++foreign_;
    return Outcome::kForeign;
  }
  if (receiver == reporter) {
    ++self_deliveries_;
    return Outcome::kSelf;
  }
  int32_t& last = last_sequence_[static_cast<size_t>(receiver) * reporters_ + reporter];
  if (sequence <= last) {
    ++duplicates_;
    return Outcome::kDuplicate;
  }
  last = static_cast<int32_t>(sequence);
  ++deliveries_;
  latency_.Record(latency_us);
  uint32_t& count = receivers_[reporter][sequence];
  if (++count < members_ - 1) return Outcome::kCounted;
  ++completed_;
  return Outcome::kCompleted;
}

}  // namespace brelvint
