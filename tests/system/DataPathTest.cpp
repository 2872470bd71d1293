// What a client that sends faster than it reads costs the server, on the
// socket back end the environment picks: its input is held back by TCP,
// not buffered without bound, and once it reads again it is served again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "client/MD5.h"
#include "protocol/PacketFramer.h"
#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

using Clock = std::chrono::steady_clock;

// The server's resident memory, in kB, from /proc.
long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Sends `packet` over and over for `seconds`, never blocking, reading (and
// counting in `*replies_read`, then dropping) what comes back unless
// `replies_read` is null, which leaves it unread. Returns the packets begun;
// `rest` gets the unsent end of the last one, which a server that stopped
// reading takes only once it reads again.
long Flood(TestClient& client, const std::string& packet, double seconds, long* replies_read,
           std::string* rest) {
  int fd = client.Descriptor();
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string batch;
  for (int i = 0; i < 512; ++i) batch += packet;
  char sink[64 * 1024];
  size_t offset = 0;
  long sent_bytes = 0;
  for (auto until = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < until;) {
    ssize_t n = ::send(fd, batch.data() + offset, batch.size() - offset, MSG_NOSIGNAL);
    if (n > 0) {
      sent_bytes += n;
      offset = (offset + static_cast<size_t>(n)) % batch.size();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    for (ssize_t got = 0;
         replies_read != nullptr && (got = ::recv(fd, sink, sizeof sink, 0)) > 0;) {
      *replies_read += got;
    }
    pollfd wait{fd, POLLOUT, 0};
    ::poll(&wait, 1, 10);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  auto size = static_cast<long>(packet.size());
  rest->assign(packet, static_cast<size_t>(sent_bytes % size));
  if (rest->size() == packet.size()) rest->clear();
  return (sent_bytes + size - 1) / size;
}

class DataPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = ServiceProcess::FreePort();
    service_.BindToLoopback();
    service_.AddNetwork("main.conf", "Main", port_);
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
  }
  // A client past the greeting, logged in as `name` unless it is empty.
  bool Join(TestClient& client, const std::string& name) {
    if (!client.Connect(port_) || !client.ReceiveCommand(1)) return false;
    return name.empty() || client.Login("Main", "pw", name);
  }

  ServiceProcess service_;
  uint16_t port_ = 0;
};

// A member streaming 8-byte frames of a command nobody handles: the server
// reads them as fast as it handles them and holds no backlog of its own.
TEST_F(DataPathTest, AMemberStreamingSmallFramesCostsBoundedMemory) {
  TestClient streamer;
  ASSERT_TRUE(Join(streamer, "streamer"));
  TestClient other;
  ASSERT_TRUE(Join(other, "other"));
  long before = ResidentKb(service_.Pid());
  std::string rest;
  long read = 0;
  long sent = Flood(streamer, PacketFramer::CreatePacket(4242, ""), 6.0, &read, &rest);
  streamer.SendRaw(rest);
  long after = ResidentKb(service_.Pid());
  service_.DiscardOutput();
  EXPECT_GT(sent, 0);
  EXPECT_LT(after - before, 48 * 1024) << "kB before " << before << ", after " << after;
  EXPECT_TRUE(streamer.ExpectFenceNext(nullptr, 30000));
  EXPECT_TRUE(other.ExpectFenceNext());
}

// A member that asks as fast as it can while another thread reads every
// answer, as a map tool does: the server stops reading it whenever its
// unhandled input reaches the bound, and must start again each time, for
// the whole run.
TEST_F(DataPathTest, AMemberAskingAsFastAsItCanIsAnsweredThroughout) {
  TestClient asker;
  ASSERT_TRUE(Join(asker, "asker"));
  int fd = asker.Descriptor();
  // A send the server leaves untaken for 5 s ends the flood, rather
  // than this test.
  timeval patience{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  std::atomic<long> sent_bytes{0};
  std::atomic<bool> sending{true};
  std::atomic<bool> left_waiting{false};
  std::thread writer([&] {
    std::string batch;
    for (int i = 0; i < 4096; ++i) batch += PacketFramer::CreatePacket(9, "");
    for (auto until = Clock::now() + std::chrono::seconds(6); Clock::now() < until;) {
      ssize_t n = ::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL);
      if (n > 0) sent_bytes += n;
      if (n != static_cast<ssize_t>(batch.size())) {
        left_waiting = true;
        break;
      }
    }
    sending = false;
  });
  const long kAnswerBytes = PacketFramer::kHeaderSize + 1;  // "0" or "1"
  long answer_bytes = 0;
  char sink[1 << 20];
  auto until = Clock::now() + std::chrono::seconds(40);
  while (Clock::now() < until) {
    bool still_sending = sending;
    long wanted = sent_bytes / static_cast<long>(PacketFramer::kHeaderSize) * kAnswerBytes;
    if (!still_sending && answer_bytes >= wanted) break;
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, 100) > 0) {
      ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (got == 0) break;
      if (got > 0) answer_bytes += got;
    }
  }
  writer.join();
  service_.DiscardOutput();
  long whole = sent_bytes / static_cast<long>(PacketFramer::kHeaderSize);
  EXPECT_GT(whole, 0);
  EXPECT_FALSE(left_waiting) << "the server stopped reading for 5 s after " << whole << " requests";
  EXPECT_EQ(answer_bytes, whole * kAnswerBytes) << "of " << whole << " requests";
}

// A member that asks faster than it reads is held back (its requests wait
// in the kernel); once it has read every answer, it is answered again. (A
// client that has not logged in is closed long before: it may send only a
// few kilobytes.)
struct HoldCase {
  const char* label;
  bool member;
  int32_t command;
  const char* payload;
};

class HeldBackTest : public DataPathTest, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(HeldBackTest, IsAnsweredOnceItHasReadEverything) {
  const HoldCase& c = GetParam();
  TestClient flooder;
  ASSERT_TRUE(Join(flooder, c.member ? "flooder" : ""));
  // Someone else on, so that asking who is on gets one answer each time.
  TestClient other;
  ASSERT_TRUE(Join(other, "other"));
  std::string rest;
  long asked =
      Flood(flooder, PacketFramer::CreatePacket(c.command, c.payload), 3.0, nullptr, &rest);
  service_.DiscardOutput();
  ASSERT_GT(asked, 0);
  // The last request's end goes once the server reads again, while its
  // answers are read here.
  std::thread finish([&] { flooder.SendRaw(rest); });
  // Every answer, then the fence's: nothing lost, nothing stuck.
  long answered = 0;
  while (answered < asked) {
    auto reply = flooder.Receive(30000);
    if (!reply) break;
    ++answered;
    if (answered % 100000 == 0) service_.DiscardOutput();
  }
  finish.join();
  ASSERT_EQ(answered, asked);
  EXPECT_TRUE(flooder.ExpectFenceNext(nullptr, 10000));
  EXPECT_TRUE(other.ExpectFenceNext());
}

INSTANTIATE_TEST_SUITE_P(Table, HeldBackTest,
                         ::testing::Values(HoldCase{"member_asking_if_admin", true, 9, ""},
                                           HoldCase{"member_asking_who_is_on", true, 5, ""}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.label);
                         });

}  // namespace
}  // namespace brelvint
