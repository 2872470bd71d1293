#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/OperatorServer.h"
#include "protocol/Asio.h"

namespace brelvint {

// A document of the operators' endpoint that is built at most once per
// `period` and shared by every request within it, so any number of
// scrapers cost the loop one snapshot per period. The snapshot is taken on
// the loop; the formatting, the expensive part, runs on `worker` from that
// snapshot alone, and only the finished bytes come back to the loop.
//
// Owned by the endpoint, on the loop thread; `context` and `worker` must
// outlive it. Formatting under way when it is destroyed finishes on the
// worker and is dropped.
class SharedReply {
 public:
  // Runs on the worker: reads only what the snapshot captured.
  using Format = std::function<std::string()>;
  // Runs on the loop: copies what the document shows.
  using Snapshot = std::function<Format()>;

  SharedReply(asio::io_context& context, asio::thread_pool& worker, std::string content_type,
              Snapshot snapshot, std::chrono::milliseconds period);
  ~SharedReply();
  SharedReply(const SharedReply&) = delete;
  SharedReply& operator=(const SharedReply&) = delete;

  // Answers with the current document: at once when one whose snapshot is
  // younger than the period is at hand, else after the build under way (or
  // a new one), never with an older one.
  void Get(OperatorServer::Answer answer);

 private:
  void Finished(std::shared_ptr<const std::string> bytes);

  asio::io_context& context_;
  asio::thread_pool& worker_;
  std::string content_type_;
  Snapshot snapshot_;
  std::chrono::milliseconds period_;
  std::shared_ptr<const std::string> current_;
  // When current_'s snapshot was taken: it is handed out only while younger
  // than the period, so no document is ever older than that.
  std::chrono::steady_clock::time_point current_taken_;
  std::chrono::steady_clock::time_point building_taken_;  // the build under way's snapshot
  std::vector<OperatorServer::Answer> waiting_;
  bool building_ = false;
  // Lets a build that completes after this object is gone find that out.
  std::shared_ptr<SharedReply*> self_;
};

}  // namespace brelvint
