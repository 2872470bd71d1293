#include "protocol/EventLoop.h"

#include <algorithm>
#include <cstdlib>

#include "base/Metrics.h"

namespace brelvint {

EventLoop::EventLoop() : work_(asio::make_work_guard(context_)) {
  const char* wanted = std::getenv(kBackendVariable);
  std::string choice = wanted != nullptr ? wanted : "";
  if (choice == "epoll") {
    backend_ = std::string("epoll (") + kBackendVariable + "=epoll)";
    return;
  }
  std::string why;
  uring_ = UringReactor::Create(context_, &why);
  backend_ = uring_ ? "io_uring" : "epoll (io_uring unavailable: " + why + ")";
}

void EventLoop::AddPollableObject(const std::shared_ptr<Pollable>& object) {
  object->on_poll_list_ = true;
}

void EventLoop::RemovePollableObject(Pollable& object) { object.on_poll_list_ = false; }

void EventLoop::MarkReady(const std::shared_ptr<Pollable>& object) {
  if (!object->on_poll_list_ || object->marked_ready_) return;
  object->marked_ready_ = true;
  ready_.push_back(object);
}

void EventLoop::ScheduleFlush(const std::shared_ptr<Flushable>& object) {
  if (object->flush_scheduled_) return;
  object->flush_scheduled_ = true;
  flush_.push_back(object);
}

void EventLoop::AddPassEndHook(std::function<void()> hook) {
  pass_end_hooks_.push_back(std::move(hook));
}

bool EventLoop::PollReadyObjects() {
  polling_.clear();
  polling_.swap(ready_);
  for (auto& object : polling_) {
    object->marked_ready_ = false;
    if (!object->on_poll_list_) continue;
    if (object->Poll()) MarkReady(object);
  }
  polling_.clear();
  return !ready_.empty();
}

void EventLoop::FlushNow(const std::shared_ptr<Flushable>& object) {
  // A hook that writes past the eager size must not start the hooks again
  // from inside itself, half done; its output leaves right after them.
  if (running_pass_end_) {
    ScheduleFlush(object);
    return;
  }
  RunPassEndHooks();
  object->Flush();
  SubmitSocketWork();
}

void EventLoop::AtPassEnd(std::function<void()> work) { pass_end_work_.push_back(std::move(work)); }

void EventLoop::RunPassEndHooks() {
  running_pass_end_ = true;
  while (!pass_end_work_.empty()) {
    std::vector<std::function<void()>> work;
    work.swap(pass_end_work_);
    for (auto& item : work) item();
  }
  for (auto& hook : pass_end_hooks_) hook();
  running_pass_end_ = false;
}

void EventLoop::FinishPass() {
  RunPassEndHooks();
  // Flushing can schedule more output (an error handler telling others),
  // so drain until nothing is left.
  while (!flush_.empty()) {
    flushing_.clear();
    flushing_.swap(flush_);
    for (auto& object : flushing_) {
      object->flush_scheduled_ = false;
      object->Flush();
    }
    flushing_.clear();
  }
  SubmitSocketWork();
}

void EventLoop::CoalesceOutput() {
  if (flush_.size() < 2) return;
  auto until = last_flush_ + kCoalesceWindow;
  if (std::chrono::steady_clock::now() >= until) return;
  size_t pending = 0;
  for (const auto& object : flush_) pending += object->PendingOutput();
  if (pending >= kSmallOutputBytes * flush_.size()) return;
  // Output went out a moment ago and this round is thin: give the next
  // messages a short while to join it.
  SubmitSocketWork();
  if (context_.run_one_until(until) > 0) {
    RunReadyHandlers();
    PollReadyObjects();
  }
}

bool EventLoop::RunReadyHandlers() {
  for (int i = 0; i < kMaxHandlersPerPass; ++i) {
    if (context_.poll_one() == 0) return false;
  }
  return true;
}

void EventLoop::Drain(std::chrono::milliseconds limit,
                      const std::function<bool()>& output_pending) {
  if (context_.stopped()) context_.restart();
  auto deadline = std::chrono::steady_clock::now() + limit;
  FinishPass();
  while (output_pending()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    context_.run_one_for(std::min<std::chrono::steady_clock::duration>(
        deadline - now, std::chrono::milliseconds(10)));
    RunReadyHandlers();
    FinishPass();
  }
}

void EventLoop::DoEvents(int milliseconds) {
  // The pass time operators graph is the work of the pass; the idle wait
  // for the next event is left out.
  auto started = std::chrono::steady_clock::now();
  if (context_.stopped()) context_.restart();
  bool more_handlers = RunReadyHandlers();
  bool more_work = PollReadyObjects() || more_handlers;
  if (more_work && ++passes_since_flush_ < kMaxPassesPerFlush) {
    Metrics::Process().ObservePass(std::chrono::steady_clock::now() - started);
    return;
  }
  passes_since_flush_ = 0;
  if (!more_work) CoalesceOutput();
  FinishPass();
  last_flush_ = std::chrono::steady_clock::now();
  auto busy = last_flush_ - started;
  if (more_work || !ready_.empty()) {
    Metrics::Process().ObservePass(busy);
    return;
  }
  context_.run_one_for(std::chrono::milliseconds(milliseconds));
  auto woke = std::chrono::steady_clock::now();
  RunReadyHandlers();
  FinishPass();
  Metrics::Process().ObservePass(busy + (std::chrono::steady_clock::now() - woke));
}

}  // namespace brelvint
