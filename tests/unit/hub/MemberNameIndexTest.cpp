// The listener's index of members by name, against a plain map as the
// oracle: an open-addressing table is wrong in the ways a map is not (a
// removal that cuts a probe run, a growth or shrink that loses a member).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/TextCase.h"
#include "hub/MapMember.h"
#include "hub/MemberNameIndex.h"
#include "protocol/EventLoop.h"

namespace brelvint {
namespace {

class MemberNameIndexTest : public ::testing::Test {
 protected:
  MapMember* NewMember(const std::string& name) {
    members_.push_back(std::make_shared<MapMember>(loop_));
    members_.back()->Username = name;
    return members_.back().get();
  }

  EventLoop loop_;
  std::vector<std::shared_ptr<MapMember>> members_;
};

TEST_F(MemberNameIndexTest, FindsByNameIgnoringCaseAndErasesOnlyTheIndexedMember) {
  MemberNameIndex index;
  EXPECT_EQ(index.Find("bob"), nullptr);
  MapMember* bob = NewMember("Bob");
  MapMember* other_bob = NewMember("BOB");
  index.Insert(bob);
  EXPECT_EQ(index.Find("bOB"), bob);
  index.Erase(*other_bob);  // not the one indexed under that name
  EXPECT_EQ(index.Find("bob"), bob);
  index.Insert(other_bob);  // takes the name over
  EXPECT_EQ(index.Find("Bob"), other_bob);
  EXPECT_EQ(index.size(), 1u);
  index.Erase(*other_bob);
  EXPECT_EQ(index.Find("bob"), nullptr);
  EXPECT_EQ(index.size(), 0u);
}

// Random inserts and erases over a few hundred names: the table grows,
// collides, shifts members back into holes and shrinks again, and after
// every step agrees with the map on every name.
TEST_F(MemberNameIndexTest, AgreesWithAMapThroughGrowthCollisionsAndShrinking) {
  constexpr int kNames = 400;
  std::vector<MapMember*> by_number;
  for (int i = 0; i < kNames; ++i) by_number.push_back(NewMember("pm" + std::to_string(i)));
  MemberNameIndex index;
  std::map<std::string, MapMember*> oracle;  // by lower-case name
  std::mt19937 random(12345);
  for (int round = 0; round < 6; ++round) {
    // Fill up, then empty out (erases outnumber inserts), so every round
    // crosses both the growth and the shrink thresholds.
    int erase_percent = round % 2 == 0 ? 20 : 80;
    for (int step = 0; step < 2000; ++step) {
      MapMember* member = by_number[random() % kNames];
      std::string key = TextCase::Lower(member->Username);
      if (static_cast<int>(random() % 100) < erase_percent) {
        index.Erase(*member);
        oracle.erase(key);
      } else {
        index.Insert(member);
        oracle[key] = member;
      }
      ASSERT_EQ(index.size(), oracle.size()) << "round " << round << " step " << step;
    }
    for (MapMember* member : by_number) {
      auto it = oracle.find(TextCase::Lower(member->Username));
      EXPECT_EQ(index.Find(member->Username), it == oracle.end() ? nullptr : it->second)
          << member->Username << " in round " << round;
    }
  }
}

}  // namespace
}  // namespace brelvint
