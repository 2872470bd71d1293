#include "hub/MemberNameIndex.h"

#include <utility>

#include "base/TextCase.h"
#include "hub/MapMember.h"

namespace brelvint {

size_t MemberNameIndex::HomeOf(std::string_view name) const {
  return TextCase::Hash(name) & (slots_.size() - 1);
}

size_t MemberNameIndex::SlotOf(std::string_view name) const {
  size_t mask = slots_.size() - 1;
  size_t slot = HomeOf(name);
  // Ends: the table is never more than three quarters full.
  while (slots_[slot] != nullptr && !TextCase::Equal(slots_[slot]->Username, name)) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

void MemberNameIndex::Insert(MapMember* member) {
  if ((size_ + 1) * 4 > slots_.size() * 3) {
    Rehash(slots_.empty() ? kMinimumSlots : slots_.size() * 2);
  }
  MapMember*& slot = slots_[SlotOf(member->Username)];
  if (slot == nullptr) ++size_;
  slot = member;
}

void MemberNameIndex::Erase(const MapMember& member) {
  if (size_ == 0) return;
  size_t hole = SlotOf(member.Username);
  if (slots_[hole] != &member) return;
  // Backward-shift deletion: each later member of the probe run whose home
  // does not lie between the hole and itself moves into the hole, so no
  // lookup ever stops early at it and no tombstones pile up.
  size_t mask = slots_.size() - 1;
  for (size_t next = (hole + 1) & mask; slots_[next] != nullptr; next = (next + 1) & mask) {
    size_t home = HomeOf(slots_[next]->Username);
    bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = nullptr;
  --size_;
  // A listener that held many members gives the table back as they leave.
  if (slots_.size() > kMinimumSlots && size_ * 8 < slots_.size()) Rehash(slots_.size() / 2);
}

MapMember* MemberNameIndex::Find(std::string_view name) const {
  if (size_ == 0) return nullptr;
  return slots_[SlotOf(name)];
}

void MemberNameIndex::Rehash(size_t slots) {
  std::vector<MapMember*> old(slots, nullptr);
  old.swap(slots_);
  for (MapMember* member : old) {
    if (member != nullptr) slots_[SlotOf(member->Username)] = member;
  }
}

}  // namespace brelvint
