#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/LogMessage.h"
#include "hub/StrangerGuard.h"
#include "protocol/PeerAddress.h"
#include "support/ScopedHome.h"
#include "support/TempFolder.h"

namespace brelvint {
namespace {

using Clock = StrangerGuard::Clock;

class StrangerGuardTest : public ::testing::Test {
 protected:
  StrangerGuardTest() { home_.emplace(temp_.Path() / "home"); }
  // The log's lines without their "[date time] " prefix.
  std::vector<std::string> LogLines() const {
    std::istringstream log(temp_.ReadFile(std::filesystem::path("home") / modGlobal::kLogFileName));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
      size_t prefix_end = line.find("] ");
      lines.push_back(prefix_end == std::string::npos ? line : line.substr(prefix_end + 2));
    }
    return lines;
  }
  size_t Count(const std::string& part) const {
    auto lines = LogLines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
      return line.find(part) != std::string::npos;
    }));
  }

  TempFolder temp_;
  std::optional<ScopedHome> home_;
  StrangerGuard guard_;
};

TEST_F(StrangerGuardTest, AnAddressHoldsItsShareAndAnEpisodeIsLoggedOnce) {
  guard_.MaxConnectionsPerAddress = 4;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(guard_.MayOpen("10.0.0.1")) << i;
      guard_.Opened("10.0.0.1");
    }
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(guard_.MayOpen("10.0.0.1"));
    EXPECT_TRUE(guard_.MayOpen("10.0.0.2"));  // another address is not held back
    // One settling does not end the episode: the next refusal is not logged.
    guard_.Settled("10.0.0.1");
    guard_.Opened("10.0.0.1");
    EXPECT_FALSE(guard_.MayOpen("10.0.0.1"));
    // A second episode within the minute is not logged again: connections
    // that come and go keep the count swinging around the limit.
    EXPECT_EQ(Count("10.0.0.1: 4 connections that have not logged in"), 1u);
    for (int i = 0; i < 4; ++i) guard_.Settled("10.0.0.1");
    EXPECT_EQ(guard_.OpenFrom("10.0.0.1"), 0u);
  }
  guard_.MaxConnectionsPerAddress = 0;  // off
  for (int i = 0; i < 100; ++i) guard_.Opened("10.0.0.1");
  EXPECT_TRUE(guard_.MayOpen("10.0.0.1"));
}

TEST_F(StrangerGuardTest, IPv6PeersAreCountedPerSlash64) {
  guard_.MaxConnectionsPerAddress = 2;
  guard_.Opened("2001:db8:1:2::1");
  guard_.Opened("2001:db8:1:2:ffff::9");
  EXPECT_FALSE(guard_.MayOpen("2001:db8:1:2:abcd::5"));
  EXPECT_TRUE(guard_.MayOpen("2001:db8:1:3::1"));
  EXPECT_EQ(PeerAddress::CountingKey("2001:db8:1:2:abcd::5"), "2001:db8:1:2::/64");
  EXPECT_EQ(PeerAddress::CountingKey("::ffff:10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(PeerAddress::CountingKey("10.1.2.3"), "10.1.2.3");
}

TEST_F(StrangerGuardTest, LinesPastTheBudgetAreSummedUpOncePerMinute) {
  auto start = Clock::now();
  int written = 0;
  for (int i = 0; i < 1000; ++i) {
    if (guard_.TakeLine("10.0.0.1", start)) ++written;
  }
  EXPECT_EQ(written, static_cast<int>(StrangerGuard::kLinesPerWindow));
  EXPECT_TRUE(guard_.TakeLine("10.0.0.2", start));  // each address its own budget
  guard_.Sweep(start + std::chrono::seconds(30));
  EXPECT_EQ(Count("lines about connections"), 0u);  // the window is still open
  guard_.Sweep(start + StrangerGuard::kLogWindow);
  EXPECT_EQ(Count("10.0.0.1: " + std::to_string(1000 - StrangerGuard::kLinesPerWindow) +
                  " lines about connections from there that had not logged in were left out in "
                  "the last minute"),
            1u);
  EXPECT_EQ(Count("10.0.0.2:"), 0u);  // nothing left out there
  // A fresh window after the summary; idle addresses are forgotten.
  EXPECT_TRUE(guard_.TakeLine("10.0.0.1", start + StrangerGuard::kLogWindow));
  guard_.Sweep(start + 2 * StrangerGuard::kLogWindow);
  guard_.Sweep(start + 3 * StrangerGuard::kLogWindow);
  EXPECT_EQ(guard_.TrackedSources(), 0u);
}

TEST_F(StrangerGuardTest, NewNamesFromAnAddressOffLoopbackAreRationedPerHour) {
  auto start = Clock::now();
  guard_.MaxNewNamesPerAddress = 3;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(guard_.MayEnrol("192.0.2.7", start)) << i;
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(guard_.MayEnrol("192.0.2.7", start));
  EXPECT_TRUE(guard_.MayEnrol("192.0.2.8", start));
  EXPECT_EQ(Count("192.0.2.7: 3 new names enrolled within the hour"), 1u);
  // Loopback is trusted.
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(guard_.MayEnrol("127.0.0.5", start));
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(guard_.MayEnrol("::1", start));
  // An hour later the address has its share again.
  auto later = start + StrangerGuard::kEnrolWindow;
  EXPECT_TRUE(guard_.MayEnrol("192.0.2.7", later));
  guard_.MaxNewNamesPerAddress = 0;  // off
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(guard_.MayEnrol("192.0.2.7", later));
}

}  // namespace
}  // namespace brelvint
