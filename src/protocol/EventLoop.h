#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/Asio.h"
#include "protocol/UringReactor.h"

namespace brelvint {

// Something the event loop delivers work to once per pass. Poll() returns
// true while the object still has queued work, which keeps the loop from
// sleeping between passes.
class Pollable {
 public:
  virtual ~Pollable() = default;
  virtual bool Poll() = 0;
  bool MarkedReady() const { return marked_ready_; }

 private:
  friend class EventLoop;
  bool on_poll_list_ = false;
  bool marked_ready_ = false;
};

// Something whose queued output the loop writes out once per pass, after
// every handler of that pass has run, so many small messages to one peer
// leave in one system call.
class Flushable {
 public:
  virtual ~Flushable() = default;
  virtual void Flush() = 0;
  // Bytes waiting to be written.
  virtual size_t PendingOutput() const = 0;
  bool FlushScheduled() const { return flush_scheduled_; }

 private:
  friend class EventLoop;
  bool flush_scheduled_ = false;
};

// The single-threaded event loop every socket of the process runs on.
// Objects join the poll list while they are connected; polling only visits
// the members that said they have queued work (MarkReady), so an idle
// connection costs nothing per pass.
//
// The loop alone decides the order of a pass; sockets and handlers only ask
// for work to be done at a phase. A pass (DoEvents) runs, in order:
//   1. ready handlers (socket events, timers, posted work), at most
//      kMaxHandlersPerPass;
//   2. one poll of each object marked ready (one queued message each);
//   3. when nothing is left queued, or kMaxPassesPerFlush passes went by:
//      a. under thin steady traffic, a wait of up to kCoalesceWindow for
//         more output to join this round;
//      b. the work queued with AtPassEnd, then the pass-end hooks (work the
//         pass's replies depend on, such as a grouped file write);
//      c. the flush of every object that asked for one, until none is left;
//   4. when idle, a wait for the next event of at most the given time, then
//      phases 1 and 3b-3c again.
// FlushNow is the one way out of this order, and it keeps its rule: hooks
// before bytes. The pass-end work never runs inside itself: output it
// writes waits for the flush that follows it.
class EventLoop {
 public:
  // Picks the socket back end: "io_uring" or "epoll" from this variable,
  // else io_uring wherever the kernel lets it run.
  static constexpr const char kBackendVariable[] = "BRELVINT_IO_BACKEND";

  EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& Context() { return context_; }
  // The io_uring reactor sockets use; null when they use Asio's (epoll).
  UringReactor* Uring() { return uring_.get(); }
  // Which back end runs, and why: "io_uring", or "epoll (<reason>)".
  const std::string& Backend() const { return backend_; }

  void AddPollableObject(const std::shared_ptr<Pollable>& object);
  void RemovePollableObject(Pollable& object);
  // Asks for `object` to be polled on the next pass; ignored when it is
  // not on the poll list.
  void MarkReady(const std::shared_ptr<Pollable>& object);

  void ScheduleFlush(const std::shared_ptr<Flushable>& object);

  // Runs at the end of every pass, before queued output is flushed: work
  // that several handlers of a pass share (a grouped file write) and whose
  // result their replies depend on.
  void AddPassEndHook(std::function<void()> hook);
  // Runs `work` once, at the end of the pass (with the pass-end hooks,
  // before output is flushed). Work queued by such work runs in the same
  // pass.
  void AtPassEnd(std::function<void()> work);
  // Writes `object`'s output now instead of at the end of the pass (a large
  // output is better sent at once than held): the pass-end hooks run
  // first, since whatever the pass's replies depend on must be done before
  // any of them leaves. Called from the pass-end work itself, it only
  // schedules the flush. Writers call it between whole messages only
  // (TCPSocket::WriteWhole), since the hooks may write to any connection.
  void FlushNow(const std::shared_ptr<Flushable>& object);

  // Ends a run of the loop without losing what the last passes produced:
  // runs the pass-end work, then keeps handling socket events (so blocked
  // writes resume) and flushing, delivering no further messages, until
  // `output_pending` says nothing is left or `limit` has passed.
  void Drain(std::chrono::milliseconds limit, const std::function<bool()>& output_pending);

  // Under load, output gathers over up to this many passes before it is
  // written, so each write carries many messages. The loop flushes at once
  // whenever it is about to wait, so a quiet server adds no delay.
  static constexpr int kMaxPassesPerFlush = 16;
  // Handlers run per pass at most, so a flood of events (thousands of
  // clients leaving at once) cannot keep one pass, and a stop request,
  // waiting for long.
  static constexpr int kMaxHandlersPerPass = 1024;
  // Under steady traffic that brings each recipient only a message or so
  // per pass, output waits at most this long after the previous write for
  // more messages to join it: one system call per recipient per message is
  // what such traffic costs otherwise.
  static constexpr std::chrono::microseconds kCoalesceWindow{1000};
  static constexpr size_t kSmallOutputBytes = 64;

  // One pass: runs every ready handler and polls each ready object once.
  // When no object has more queued work (or kMaxPassesPerFlush passes went
  // by) it runs the pass-end hooks, flushes output and waits for new events
  // at most `milliseconds`.
  void DoEvents(int milliseconds);

 private:
  void CoalesceOutput();
  void RunPassEndHooks();
  // True when handlers were left ready for the next pass.
  bool RunReadyHandlers();
  bool PollReadyObjects();
  void FinishPass();

  // Hands the kernel the operations the pass prepared (io_uring only).
  void SubmitSocketWork() {
    if (uring_) uring_->Submit();
  }

  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::unique_ptr<UringReactor> uring_;  // before context_ goes
  std::string backend_;
  std::vector<std::shared_ptr<Pollable>> ready_;
  std::vector<std::shared_ptr<Pollable>> polling_;
  std::vector<std::shared_ptr<Flushable>> flush_;
  std::vector<std::shared_ptr<Flushable>> flushing_;
  std::vector<std::function<void()>> pass_end_hooks_;
  std::vector<std::function<void()>> pass_end_work_;
  int passes_since_flush_ = 0;
  bool running_pass_end_ = false;
  std::chrono::steady_clock::time_point last_flush_;
};

}  // namespace brelvint
