#include "http/OperatorServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <future>

#include "protocol/Asio.h"
#include "protocol/EventLoop.h"

namespace brelvint {

namespace {

constexpr const char kTextPlain[] = "text/plain; charset=utf-8";
constexpr const char kBearer[] = "Bearer ";
// Requests are GETs without a body; anything larger is refused unread.
constexpr size_t kMaxPayloadBytes = 1024;
// A browser keeps its connection, and with it a worker, between polls;
// a short keep-alive frees the worker for other operators soon after.
constexpr time_t kKeepAliveSeconds = 2;
constexpr time_t kReadTimeoutSeconds = 5;

OperatorServer::Reply TextReply(int status, const char* text) {
  return OperatorServer::Reply{status, kTextPlain, text};
}

void Answer(httplib::Response& response, const OperatorServer::Reply& reply) {
  response.status = reply.Status;
  response.set_content(reply.Body, reply.ContentType.c_str());
  // Operators' numbers must be fresh at every poll.
  response.set_header("Cache-Control", "no-store");
}

// Reuse of the address only: SO_REUSEPORT (which cpp-httplib sets by
// default) would let a second server on the same port silently share it.
void AddressReuseOnly(int socket) {
  int yes = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

}  // namespace

OperatorServer::OperatorServer(EventLoop& loop)
    : loop_(loop), server_(std::make_unique<httplib::Server>()) {}

OperatorServer::~OperatorServer() { Stop(); }

void OperatorServer::Get(const std::string& path, Route route) {
  auto shared = std::make_shared<Route>(std::move(route));
  server_->Get(path, [this, shared](const httplib::Request&, httplib::Response& response) {
    Answer(response, AskLoop(shared));
  });
}

void OperatorServer::GetFile(const std::string& pattern, FileRoute route) {
  server_->Get(pattern, [route = std::move(route)](const httplib::Request& request,
                                                   httplib::Response& response) {
    Answer(response, route(request.path));
  });
}

OperatorServer::Reply OperatorServer::AskLoop(const std::shared_ptr<Route>& route) {
  // Shared with the posted job: when the wait below gives up, the job may
  // still run later and must find its promise alive.
  auto promise = std::make_shared<std::promise<Reply>>();
  std::future<Reply> answer = promise->get_future();
  asio::post(loop_.Context(), [route, promise] {
    try {
      promise->set_value((*route)());
    } catch (const std::exception& failure) {
      promise->set_value(Reply{500, kTextPlain, std::string(failure.what()) + "\n"});
    }
  });
  if (answer.wait_for(kLoopAnswerTimeout) != std::future_status::ready) {
    return TextReply(503, kLoopBusy);
  }
  return answer.get();
}

bool OperatorServer::TokenMatches(const std::string& given, const std::string& expected) {
  // Every byte of the longer text is looked at whatever matched, so the
  // time taken depends only on the lengths.
  size_t length = std::max(given.size(), expected.size());
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < length; ++i) {
    unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
    difference |= a ^ b;
  }
  return difference == 0 && !expected.empty();
}

bool OperatorServer::Start(const OperatorAddress& address, const std::string& token,
                           std::string* why) {
  bool loopback = OperatorAddress::IsLoopback(address.Host);
  if (!loopback && token.empty()) {
    *why = address.Host + " is not a loopback address and no StatusToken is set";
    return false;
  }
  if (!loopback) {
    token_ = token;
    server_->set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          std::string given = request.get_param_value("token");
          std::string authorization = request.get_header_value("Authorization");
          if (authorization.rfind(kBearer, 0) == 0)
            given = authorization.substr(std::strlen(kBearer));
          if (TokenMatches(given, token_)) return httplib::Server::HandlerResponse::Unhandled;
          Answer(response, TextReply(401, kUnauthorized));
          response.set_header("WWW-Authenticate", "Bearer");
          return httplib::Server::HandlerResponse::Handled;
        });
  }
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server_->set_socket_options(AddressReuseOnly);
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  server_->set_read_timeout(kReadTimeoutSeconds, 0);
  server_->set_payload_max_length(kMaxPayloadBytes);
  errno = 0;
  if (!server_->bind_to_port(address.Host, address.Port)) {
    int error = errno;
    *why = "cannot listen on " + address.ToString() +
           (error != 0 ? std::string(": ") + std::strerror(error) : std::string());
    return false;
  }
  listen_ended_ = false;
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listen_ended_ = true;
  });
  return true;
}

void OperatorServer::Stop() {
  if (!thread_.joinable()) return;
  // stop() only reaches a server that is already in its accept loop; one
  // that has just been started gets there within moments.
  for (int i = 0; i < 2000 && !server_->is_running() && !listen_ended_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_->stop();
  thread_.join();
}

}  // namespace brelvint
