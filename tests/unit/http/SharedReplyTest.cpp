#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "http/SharedReply.h"
#include "protocol/EventLoop.h"

namespace brelvint {
namespace {

using std::chrono::milliseconds;

// Pumps the loop until `done` or about two seconds have passed.
template <typename Done>
void RunUntil(EventLoop& loop, Done done) {
  for (int i = 0; i < 200 && !done(); ++i) loop.DoEvents(10);
}

// Requests within a period share one snapshot and one formatting; the
// formatting runs off the loop thread; the next period takes a new one.
TEST(SharedReplyTest, OneSnapshotServesEveryRequestOfItsPeriod) {
  EventLoop loop;
  boost::asio::thread_pool worker(1);
  int snapshots = 0;
  std::vector<std::thread::id> formatted_on;
  SharedReply reply(
      loop.Context(), worker, "text/plain",
      [&] {
        int taken = ++snapshots;
        return SharedReply::Format([taken, &formatted_on] {
          formatted_on.push_back(std::this_thread::get_id());
          return "snapshot " + std::to_string(taken);
        });
      },
      milliseconds(300));
  std::vector<std::string> bodies;
  auto answer = [&](OperatorServer::Reply r) { bodies.push_back(*r.Body); };
  for (int i = 0; i < 3; ++i) reply.Get(answer);  // while the first build is under way
  RunUntil(loop, [&] { return bodies.size() == 3; });
  reply.Get(answer);  // within the period: answered at once
  ASSERT_EQ(bodies.size(), 4u);
  EXPECT_EQ(bodies, std::vector<std::string>(4, "snapshot 1"));
  EXPECT_EQ(snapshots, 1);
  ASSERT_EQ(formatted_on.size(), 1u);
  EXPECT_NE(formatted_on[0], std::this_thread::get_id());

  std::this_thread::sleep_for(milliseconds(350));
  reply.Get(answer);
  RunUntil(loop, [&] { return bodies.size() == 5; });
  ASSERT_EQ(bodies.size(), 5u);
  EXPECT_EQ(bodies.back(), "snapshot 2");
  EXPECT_EQ(snapshots, 2);
}

// While a slow build is under way, a request that finds only a document
// older than the period waits for the new one: it is never handed the old.
TEST(SharedReplyTest, AnOldDocumentIsNotHandedOutWhileANewOneIsBuilt) {
  EventLoop loop;
  boost::asio::thread_pool worker(1);
  int snapshots = 0;
  std::atomic<bool> slow{false}, release{false};
  SharedReply reply(
      loop.Context(), worker, "text/plain",
      [&] {
        int taken = ++snapshots;
        return SharedReply::Format([taken, &slow, &release] {
          while (slow && !release) std::this_thread::sleep_for(milliseconds(5));
          return "snapshot " + std::to_string(taken);
        });
      },
      milliseconds(100));
  std::vector<std::string> bodies;
  auto answer = [&](OperatorServer::Reply r) { bodies.push_back(*r.Body); };
  reply.Get(answer);
  RunUntil(loop, [&] { return bodies.size() == 1; });
  ASSERT_EQ(bodies, std::vector<std::string>{"snapshot 1"});

  std::this_thread::sleep_for(milliseconds(150));  // snapshot 1 is now past its period
  slow = true;
  reply.Get(answer);  // starts snapshot 2, which takes its time
  reply.Get(answer);  // must wait for it too
  for (int i = 0; i < 20; ++i) loop.DoEvents(5);
  EXPECT_EQ(bodies.size(), 1u) << "answered with the old document while the new one was built";
  release = true;
  RunUntil(loop, [&] { return bodies.size() == 3; });
  EXPECT_EQ(bodies, (std::vector<std::string>{"snapshot 1", "snapshot 2", "snapshot 2"}));
}

// A build that finishes after its SharedReply is gone is dropped, not
// delivered to freed memory.
TEST(SharedReplyTest, ABuildOutlivingItsOwnerIsDropped) {
  EventLoop loop;
  boost::asio::thread_pool worker(1);
  bool answered = false;
  {
    SharedReply reply(
        loop.Context(), worker, "text/plain",
        [] {
          return SharedReply::Format([] {
            std::this_thread::sleep_for(milliseconds(50));
            return std::string("late");
          });
        },
        milliseconds(1000));
    reply.Get([&](OperatorServer::Reply) { answered = true; });
  }
  worker.join();
  for (int i = 0; i < 5; ++i) loop.DoEvents(10);
  EXPECT_FALSE(answered);
}

}  // namespace
}  // namespace brelvint
