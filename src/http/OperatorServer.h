#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "http/OperatorAddress.h"

namespace httplib {
class Server;
}

namespace brelvint {

class EventLoop;

// The operators' HTTP endpoint: cpp-httplib parses and answers HTTP on its
// own threads (an accept thread and a small worker pool), while every
// answer that reads server state is built by a route run on the event
// loop: the worker posts the route to the loop and waits for its reply at
// most kLoopAnswerTimeout (then 503). So the loop stays the only thread
// that touches records and connections.
//
// Off loopback, every request must carry the token (Authorization: Bearer,
// or a `token` query parameter); without a token the server refuses to
// listen there. Owned by App; the loop, and whatever the routes capture,
// must outlive it. Start, Stop and the destructor are called on the loop
// thread.
class OperatorServer {
 public:
  struct Reply {
    int Status = 200;
    std::string ContentType;
    std::string Body;
  };
  // Runs on the loop thread.
  using Route = std::function<Reply()>;
  // Runs on a worker thread and must not touch server state: for content
  // that lives outside it (files). `path` is the request path.
  using FileRoute = std::function<Reply(const std::string& path)>;

  static constexpr std::chrono::seconds kLoopAnswerTimeout{2};
  static constexpr int kWorkerThreads = 4;
  static constexpr const char kUnauthorized[] = "a valid token is required\n";
  static constexpr const char kLoopBusy[] = "the server did not answer in time\n";

  explicit OperatorServer(EventLoop& loop);
  ~OperatorServer();  // Stop
  OperatorServer(const OperatorServer&) = delete;
  OperatorServer& operator=(const OperatorServer&) = delete;

  // Routes are added before Start. `pattern` is an ECMAScript regular
  // expression matched against the whole path.
  void Get(const std::string& path, Route route);
  void GetFile(const std::string& pattern, FileRoute route);

  // Binds `address` and starts serving on a thread of its own. False, with
  // the reason in *why, when the address is off loopback and `token` is
  // empty, or the address cannot be bound; nothing is started then.
  bool Start(const OperatorAddress& address, const std::string& token, std::string* why);
  // Stops serving and joins the threads; a request waiting on the loop
  // ends with 503. Safe to call when not started.
  void Stop();

  // Constant-time comparison, so the time an answer takes tells nothing of
  // how much of a guessed token was right.
  static bool TokenMatches(const std::string& given, const std::string& expected);

 private:
  Reply AskLoop(const std::shared_ptr<Route>& route);

  EventLoop& loop_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::string token_;
  std::atomic<bool> listen_ended_{false};
};

}  // namespace brelvint
