// Answers larger than the slow-consumer limit, through the real commands: an
// administrator's ban list of several MiB and the user list of a network
// with thousands of members both reach a client that reads them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/MD5.h"
#include "protocol/TCPSocket.h"
#include "support/BanRows.h"
#include "support/HubFixture.h"

namespace brelvint {
namespace {

constexpr int32_t kUserList = 5;
constexpr int32_t kBanList = 13;
constexpr int32_t kFence = 999;

class LargeAnswerTest : public HubFixture {
 protected:
  // The fence: the next message after everything asked for is "BYE".
  void ExpectFence(TestClient& client) {
    client.Send(kFence, "");
    auto bye = client.Receive(5000, &loop_);
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->command, kFence);
    EXPECT_EQ(bye->data, "BYE");
  }
};

TEST_F(LargeAnswerTest, BanListOfSeveralMiBReachesTheAdministrator) {
  AddNetwork("Main", "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n");
  MapSocket& listener = StartListener();
  auto boss = Member(listener, "Main", "boss");
  constexpr int kBans = 4000;
  const std::string reason(1000, 'r');
  for (int i = 0; i < kBans; ++i) {
    bans_->Record(BanRows::Make("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250),
                                "eve", "boss", reason, "Main"),
                  loop_.Context());
  }
  ASSERT_TRUE(BanRows::WaitStored(*bans_, loop_));
  boss->Send(kBanList, "");
  auto answer = boss->Receive(20000, &loop_);
  ASSERT_TRUE(answer) << "the connection ended or the list never came";
  EXPECT_EQ(answer->command, kBanList);
  EXPECT_GT(answer->data.size(), 3 * TCPSocket::kMaxPendingOutput);
  EXPECT_EQ(std::count(answer->data.begin(), answer->data.end(), '\0'), kBans);
  ExpectFence(*boss);
}

std::string MemberName(int i) {
  std::string number = std::to_string(i);
  return std::string(64 - number.size(), 'm') + number;
}

// Holds `count` logged-in members in a child process (one process cannot
// hold both ends of so many connections within the descriptor limit).
// Writes one byte to `ready` once all are in ("1") or on failure ("0"),
// then keeps them until `hold` closes.
[[noreturn]] void RunMembers(uint16_t port, int count, int ready, int hold) {
  std::vector<std::unique_ptr<TestClient>> members;
  constexpr int kBatch = 500;
  bool ok = true;
  for (int first = 0; ok && first < count; first += kBatch) {
    int last = std::min(count, first + kBatch);
    for (int i = first; ok && i < last; ++i) {
      auto member = std::make_unique<TestClient>();
      ok = member->Connect(port);
      // The three login steps go out at once; the answers are read below.
      member->Send(1, "Big");
      member->Send(2, MD5::Digest("pw"));
      member->Send(3, MemberName(i));
      members.push_back(std::move(member));
    }
    for (int i = first; ok && i < last; ++i) {
      auto named = members[static_cast<size_t>(i)]->ReceiveCommand(4, 20000);
      ok = named && named->data == "OK";
    }
  }
  char byte = ok ? '1' : '0';
  (void)!::write(ready, &byte, 1);
  (void)!::read(hold, &byte, 1);
  ::_exit(0);
}

TEST_F(LargeAnswerTest, UserListOverOneMiBReachesAMember) {
  // 84 bytes each with a 64-byte name: 1.3 MiB, more than the limit and
  // what the kernel can hold besides.
  constexpr int kMembers = 13000;
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < kMembers + 256) GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

  // Enrolled beforehand: the logins then leave the network file as it is.
  std::string users;
  for (int i = 0; i < kMembers; ++i) {
    users += "    <User Name=\"" + MemberName(i) + "\" LastIP=\"127.0.0.1\" />\n";
  }
  AddNetwork("Big", users, kMembers + 10);
  MapSocket& listener = StartListener();
  // The members connect from one address before any logs in.
  listener.Strangers().MaxConnectionsPerAddress = 0;
  int ready[2], hold[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(hold), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    ::close(hold[1]);
    RunMembers(listener.BoundPort(), kMembers, ready[1], hold[0]);
  }
  ::close(ready[1]);
  ::close(hold[0]);

  char state = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
  pollfd watch{ready[0], POLLIN, 0};
  while (state == 0 && std::chrono::steady_clock::now() < deadline) {
    loop_.DoEvents(1);
    if (::poll(&watch, 1, 0) == 1 && ::read(ready[0], &state, 1) != 1) break;
  }
  EXPECT_EQ(state, '1') << "the members could not all log in";

  if (state == '1') {
    // Asked several times at once: together the answers pass what the
    // kernel can hold unread, so the server holds part of them while the
    // asker reads.
    constexpr int kAsks = 8;
    auto asker = Member(listener, "Big", "asker");
    for (int i = 0; i < kAsks; ++i) asker->Send(kUserList, "");
    size_t records = 0, one_list_bytes = 0;
    for (int i = 0; i < kAsks * kMembers; ++i) {
      auto record = asker->Receive(10000, &loop_);
      if (!record || record->command != kUserList) break;
      ++records;
      if (i < kMembers) one_list_bytes += 8 + record->data.size();
    }
    EXPECT_EQ(records, static_cast<size_t>(kAsks * kMembers)) << "the connection ended early";
    EXPECT_GT(one_list_bytes, TCPSocket::kMaxPendingOutput);
    ExpectFence(*asker);
  }
  ::close(hold[1]);
  ::close(ready[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
}

}  // namespace
}  // namespace brelvint
