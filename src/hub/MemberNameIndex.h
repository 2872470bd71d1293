#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace brelvint {

class MapMember;

// The members of one listener by user name, ignoring letter case (the
// listener's MemberNamed). An open-addressing table of pointers, at most
// three quarters full: 11 to 21 bytes a member, where a node-based hash map
// costs a 48-byte node and a bucket each, and a listener holds tens of
// thousands of idle members. The name is read from the member's own
// Username, so the index holds no copy of it. Lookups run at logins and
// moderation, never on the relay path, so the longer probe runs of a fuller
// table cost little.
//
// Owned by the MapSocket whose members it holds; it only points at them.
// A member's Username must not change while the member is indexed.
class MemberNameIndex {
 public:
  MemberNameIndex() = default;
  MemberNameIndex(const MemberNameIndex&) = delete;
  MemberNameIndex& operator=(const MemberNameIndex&) = delete;

  // Indexes `member` under its Username, in place of any member indexed
  // under the same name.
  void Insert(MapMember* member);
  // Takes `member` out; does nothing when the name is indexed for another
  // member, or not at all.
  void Erase(const MapMember& member);
  // The member indexed under `name` (ignoring case), or null.
  MapMember* Find(std::string_view name) const;
  size_t size() const { return size_; }

 private:
  static constexpr size_t kMinimumSlots = 16;

  size_t HomeOf(std::string_view name) const;
  // The slot holding `name`, or the empty slot where it would go.
  size_t SlotOf(std::string_view name) const;
  // Moves every member into a table of `slots` slots (a power of two).
  void Rehash(size_t slots);

  std::vector<MapMember*> slots_;  // empty, or a power of two long
  size_t size_ = 0;
};

}  // namespace brelvint
