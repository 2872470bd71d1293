#include "support/TestHttpServer.h"

#include <fmt/format.h>

#include <array>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <utility>

#include "protocol/Asio.h"

namespace brelvint {

namespace {

constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr char kNotFound[] = "not found";

std::string Headers(int status, const char* reason, size_t length, bool announce_length,
                    bool announce_close) {
  std::string length_line = announce_length ? fmt::format("Content-Length: {}\r\n", length) : "";
  const char* close_line = announce_close ? "Connection: close\r\n" : "";
  return fmt::format("HTTP/1.1 {} {}\r\nContent-Type: application/octet-stream\r\n{}{}\r\n", status,
                     reason, length_line, close_line);
}

// The target of "GET <target> HTTP/1.1"; empty when the line is malformed.
std::string TargetOf(const std::string& request) {
  std::string line = request.substr(0, request.find("\r\n"));
  size_t first = line.find(' ');
  if (first == std::string::npos) return std::string();
  size_t second = line.find(' ', first + 1);
  if (second == std::string::npos) return std::string();
  return line.substr(first + 1, second - first - 1);
}

}  // namespace

struct TestHttpServer::Route {
  enum class Kind { kAnswer, kHang };
  Kind kind = Kind::kAnswer;
  std::string body;
  size_t pieces = 1;
  std::chrono::milliseconds interval{0};
  bool announce_length = true;
};

struct TestHttpServer::Connection {
  explicit Connection(asio::ip::tcp::socket accepted)
      : socket(std::move(accepted)), timer(socket.get_executor()) {}
  asio::ip::tcp::socket socket;
  asio::steady_timer timer;
  std::string request;
  std::string out;  // the bytes being written
  std::shared_ptr<const Route> route;
  size_t pieces_sent = 0;
  TestHttpServer::Persistence persistence = TestHttpServer::Persistence::kClose;
  std::array<char, 512> sink{};
};

TestHttpServer::TestHttpServer()
    : work_(asio::make_work_guard(context_)),
      acceptor_(context_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
  port_ = acceptor_.local_endpoint().port();
  Accept();
  thread_ = std::thread([this] { context_.run(); });
}

TestHttpServer::~TestHttpServer() {
  work_.reset();
  context_.stop();
  thread_.join();
  // Connections still open are owned by pending handlers, which the
  // io_context destroys (closing their sockets) after the acceptor.
}

std::string TestHttpServer::BaseUrl() const { return fmt::format("http://127.0.0.1:{}", port_); }

void TestHttpServer::Answer(const std::string& path, std::string body) {
  AnswerSlowly(path, std::move(body), 1, std::chrono::milliseconds(0));
}

void TestHttpServer::AnswerSlowly(const std::string& path, std::string body, size_t pieces,
                                  std::chrono::milliseconds interval) {
  auto route = std::make_shared<Route>();
  route->body = std::move(body);
  route->pieces = pieces == 0 ? 1 : pieces;
  route->interval = interval;
  AddRoute(path, std::move(route));
}

void TestHttpServer::AnswerUntilClose(const std::string& path, std::string body) {
  auto route = std::make_shared<Route>();
  route->body = std::move(body);
  route->announce_length = false;
  AddRoute(path, std::move(route));
}

void TestHttpServer::Hang(const std::string& path) {
  auto route = std::make_shared<Route>();
  route->kind = Route::Kind::kHang;
  AddRoute(path, std::move(route));
}

void TestHttpServer::SetPersistence(Persistence persistence) {
  std::lock_guard<std::mutex> lock(mutex_);
  persistence_ = persistence;
}

void TestHttpServer::AddRoute(const std::string& path, std::shared_ptr<const Route> route) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = std::move(route);
}

std::vector<std::string> TestHttpServer::Targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

size_t TestHttpServer::AcceptedConnections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

size_t TestHttpServer::ClosedConnections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

size_t TestHttpServer::PeakOpenConnections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_open_;
}

void TestHttpServer::Accept() {
  acceptor_.async_accept(
      [this](const boost::system::error_code& error, asio::ip::tcp::socket socket) {
        if (error) return;  // the acceptor closed
        auto connection = std::make_shared<Connection>(std::move(socket));
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++accepted_;
          ++open_;
          if (open_ > peak_open_) peak_open_ = open_;
        }
        ReadRequest(connection);
        Accept();
      });
}

void TestHttpServer::ReadRequest(const std::shared_ptr<Connection>& connection) {
  asio::async_read_until(connection->socket,
                         asio::dynamic_buffer(connection->request, kMaxRequestBytes), "\r\n\r\n",
                         [this, connection](const boost::system::error_code& error, size_t length) {
                           if (error) {
                             Closed(connection);
                             return;
                           }
                           // Only this request's head: a kept connection reads the next.
                           std::string head = connection->request.substr(0, length);
                           connection->request.erase(0, length);
                           Respond(connection, head);
                         });
}

void TestHttpServer::Respond(const std::shared_ptr<Connection>& connection,
                             const std::string& head) {
  std::string target = TargetOf(head);
  std::string path = target.substr(0, target.find('?'));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets_.push_back(target);
    auto found = routes_.find(path);
    connection->route = found == routes_.end() ? nullptr : found->second;
    connection->persistence = persistence_;
    connection->pieces_sent = 0;
  }
  const Route* route = connection->route.get();
  bool announce_close = connection->persistence == Persistence::kClose;
  if (route == nullptr) {
    Send(connection,
         Headers(404, "Not Found", sizeof kNotFound - 1, true, announce_close) + kNotFound, true);
  } else if (route->kind == Route::Kind::kHang) {
    AwaitClose(connection);
  } else if (route->pieces == 1) {
    // A body of unannounced length ends with the connection.
    bool closing = announce_close || !route->announce_length;
    Send(connection,
         Headers(200, "OK", route->body.size(), route->announce_length, closing) + route->body,
         true);
  } else {
    Send(connection, Headers(200, "OK", route->body.size(), true, announce_close), false);
  }
}

void TestHttpServer::Send(const std::shared_ptr<Connection>& connection, std::string bytes,
                          bool last) {
  connection->out = std::move(bytes);
  asio::async_write(connection->socket, asio::buffer(connection->out),
                    [this, connection, last](const boost::system::error_code& error, size_t) {
                      if (error) {
                        Closed(connection);
                      } else if (last) {
                        AfterAnswer(connection);
                      } else {
                        SendNextPiece(connection);
                      }
                    });
}

void TestHttpServer::AfterAnswer(const std::shared_ptr<Connection>& connection) {
  bool length_known = connection->route == nullptr || connection->route->announce_length;
  if (connection->persistence == Persistence::kKeepAlive && length_known) {
    ReadRequest(connection);
  } else if (connection->persistence == Persistence::kDropUnannounced) {
    Closed(connection);
  } else {
    boost::system::error_code ignored;
    connection->socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    AwaitClose(connection);
  }
}

void TestHttpServer::SendNextPiece(const std::shared_ptr<Connection>& connection) {
  connection->timer.expires_after(connection->route->interval);
  connection->timer.async_wait([this, connection](const boost::system::error_code& error) {
    if (error) return;
    const Route& route = *connection->route;
    size_t piece = route.body.size() / route.pieces;
    size_t index = connection->pieces_sent++;
    bool last = connection->pieces_sent == route.pieces;
    // The last piece takes whatever the division left over.
    Send(connection, route.body.substr(index * piece, last ? std::string::npos : piece), last);
  });
}

void TestHttpServer::AwaitClose(const std::shared_ptr<Connection>& connection) {
  connection->socket.async_read_some(
      asio::buffer(connection->sink),
      [this, connection](const boost::system::error_code& error, size_t) {
        if (error) {
          Closed(connection);
          return;
        }
        AwaitClose(connection);
      });
}

void TestHttpServer::Closed(const std::shared_ptr<Connection>& connection) {
  boost::system::error_code ignored;
  connection->socket.close(ignored);
  std::lock_guard<std::mutex> lock(mutex_);
  --open_;
  ++closed_;
}

}  // namespace brelvint
