#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Asio.h"

namespace brelvint {

// A tiny HTTP/1.1 server on 127.0.0.1 (an ephemeral port) for tests of code
// that makes HTTP requests. It runs its own io_context on a background
// thread, so the code under test drives its own loop undisturbed. Paths
// with no answer set get a 404 with the body "not found". Every member is
// safe to call from the test's thread while the server runs.
class TestHttpServer {
 public:
  // What happens to a connection once a request has been answered.
  enum class Persistence {
    kClose,            // "Connection: close"; then wait for the client to close
    kKeepAlive,        // the connection stays open for the next request
    kDropUnannounced,  // closed at once, though the answer let the client keep it
  };

  // Listening once constructed.
  TestHttpServer();
  // Stops the thread and closes every connection.
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string BaseUrl() const;

  // Requests for `path` (the target up to any '?') get status 200 and `body`.
  void Answer(const std::string& path, std::string body);
  // As Answer, but after the headers (which give the full length) the body
  // goes out in `pieces` parts, one every `interval`.
  void AnswerSlowly(const std::string& path, std::string body, size_t pieces,
                    std::chrono::milliseconds interval);
  // As Answer, but with no Content-Length: the body ends when the server
  // closes its side.
  void AnswerUntilClose(const std::string& path, std::string body);
  // Requests for `path` are read and never answered.
  void Hang(const std::string& path);
  // Applies to answers sent from now on; kClose until changed.
  void SetPersistence(Persistence persistence);

  // Request targets (path and query, as on the request line) in arrival order.
  std::vector<std::string> Targets() const;
  // Connections accepted so far.
  size_t AcceptedConnections() const;
  // Connections ended so far (closed by either side, or reset).
  size_t ClosedConnections() const;
  // Most connections open at once so far.
  size_t PeakOpenConnections() const;

 private:
  struct Route;
  struct Connection;

  void Accept();
  void ReadRequest(const std::shared_ptr<Connection>& connection);
  void Respond(const std::shared_ptr<Connection>& connection, const std::string& head);
  void AddRoute(const std::string& path, std::shared_ptr<const Route> route);
  void Send(const std::shared_ptr<Connection>& connection, std::string bytes, bool last);
  void AfterAnswer(const std::shared_ptr<Connection>& connection);
  void SendNextPiece(const std::shared_ptr<Connection>& connection);
  void AwaitClose(const std::shared_ptr<Connection>& connection);
  void Closed(const std::shared_ptr<Connection>& connection);

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::thread thread_;

  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, std::shared_ptr<const Route>> routes_;
  std::vector<std::string> targets_;
  Persistence persistence_ = Persistence::kClose;
  size_t accepted_ = 0;
  size_t open_ = 0;
  size_t peak_open_ = 0;
  size_t closed_ = 0;
};

}  // namespace brelvint
