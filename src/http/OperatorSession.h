#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/span_body.hpp>
#include <memory>
#include <optional>
#include <string>

#include "http/OperatorServer.h"
#include "protocol/Asio.h"

namespace brelvint {

// One connection of the operators' endpoint: reads a request within the
// limits OperatorServer states, answers it and waits for the next one.
// Owns itself through the handlers it has pending (shared_from_this) and
// registers with the server's shared state while open; the server closes
// it on Stop. Loop thread only.
class OperatorSession : public std::enable_shared_from_this<OperatorSession> {
 public:
  // `address` is the peer's, as the server counts it.
  OperatorSession(asio::ip::tcp::socket socket, const std::string& address,
                  std::shared_ptr<OperatorServer::State> state);
  ~OperatorSession();
  OperatorSession(const OperatorSession&) = delete;
  OperatorSession& operator=(const OperatorSession&) = delete;

  void Start();
  // Ends the connection now; pending handlers see operation_aborted.
  void Close();

 private:
  using Request = boost::beast::http::request<boost::beast::http::empty_body>;
  using Response = boost::beast::http::response<boost::beast::http::span_body<const char>>;

  void WaitForRequest();
  void ReadHeader();
  void ParseHeader();
  void HeaderRead(const boost::system::error_code& ec);
  // An answer from the endpoint itself (a refusal), or empty when the
  // request goes to the handler. A refusal of a body also ends keep-alive.
  std::optional<OperatorServer::Reply> Refusal(const Request& request);
  bool Authorized(const Request& request) const;
  // The refusal of a request to an action path, or empty when it may act.
  std::optional<OperatorServer::Reply> ActionRefusal(const Request& request);
  // Reads the action's body (`length` bytes) and hands it to the handler.
  void ReadBody(std::string path, size_t length);
  void Send(OperatorServer::Reply reply);
  // Writes the next piece of the reply within the endpoint's allowance.
  void WriteSome();
  void Sent(const boost::system::error_code& ec);
  // Half-closes and reads what the client still sends, briefly, so the
  // refusal just written reaches it before the connection ends.
  void Linger();
  void DropInput();

  boost::beast::tcp_stream stream_;
  std::shared_ptr<OperatorServer::State> state_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser_;
  std::optional<Response> response_;
  std::optional<boost::beast::http::response_serializer<boost::beast::http::span_body<const char>>>
      serializer_;
  asio::steady_timer pacer_;                 // waits for the write allowance
  std::shared_ptr<const std::string> body_;  // what response_ points into
  size_t header_bytes_ = 0;                  // of the request being read, taken by the parser
  size_t lingered_ = 0;                      // bytes dropped since the refusal
  bool head_ = false;
  bool keep_alive_ = false;
  bool answering_ = false;  // a request is with the handler or being written
  bool closed_ = false;
};

}  // namespace brelvint
