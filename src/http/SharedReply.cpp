#include "http/SharedReply.h"

#include <boost/asio/post.hpp>
#include <exception>

namespace brelvint {

SharedReply::SharedReply(asio::io_context& context, asio::thread_pool& worker,
                         std::string content_type, Snapshot snapshot,
                         std::chrono::milliseconds period)
    : context_(context),
      worker_(worker),
      content_type_(std::move(content_type)),
      snapshot_(std::move(snapshot)),
      period_(period),
      self_(std::make_shared<SharedReply*>(this)) {}

SharedReply::~SharedReply() { *self_ = nullptr; }

void SharedReply::Get(OperatorServer::Answer answer) {
  auto now = std::chrono::steady_clock::now();
  if (current_ && now - current_taken_ < period_) {
    answer(OperatorServer::Reply{200, content_type_, current_, {}});
    return;
  }
  waiting_.push_back(std::move(answer));
  if (building_) return;
  building_ = true;
  building_taken_ = now;
  Format format = snapshot_();
  // Only the loop thread reads or writes *self_; the worker merely carries
  // the pointer back to it.
  asio::post(worker_, [format = std::move(format), self = self_, &context = context_] {
    std::shared_ptr<const std::string> bytes;
    try {
      bytes = std::make_shared<const std::string>(format());
    } catch (const std::exception&) {
      bytes = nullptr;  // answered with 500
    }
    asio::post(context, [self, bytes = std::move(bytes)] {
      if (*self != nullptr) (*self)->Finished(bytes);
    });
  });
}

void SharedReply::Finished(std::shared_ptr<const std::string> bytes) {
  building_ = false;
  std::vector<OperatorServer::Answer> waiting;
  waiting.swap(waiting_);
  if (!bytes) {
    for (auto& answer : waiting) {
      answer(OperatorServer::Reply::Text(500, "the document could not be built\n"));
    }
    return;
  }
  current_ = std::move(bytes);
  current_taken_ = building_taken_;
  for (auto& answer : waiting) answer(OperatorServer::Reply{200, content_type_, current_, {}});
}

}  // namespace brelvint
