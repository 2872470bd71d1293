#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace brelvint {

// One HTTP reply as a test reads it: header names in lower case.
struct HttpReply {
  int Status = 0;
  std::map<std::string, std::string> Headers;
  std::string Body;

  std::string Header(const std::string& lower_case_name) const;
};

// A plain blocking HTTP/1.1 client on one TCP connection, for tests that
// must send exactly the bytes they mean (floods, slow headers, bodies,
// pipelined or hostile requests) and see what the server does with them.
// Every wait is bounded.
class TestHttpClient {
 public:
  TestHttpClient() = default;
  ~TestHttpClient();
  TestHttpClient(const TestHttpClient&) = delete;
  TestHttpClient& operator=(const TestHttpClient&) = delete;

  // Connects to 127.0.0.1:`port` from `source` (any 127.x address).
  bool Connect(uint16_t port, const std::string& source = "127.0.0.1");
  // False when the connection is gone (the server closed it).
  bool Send(std::string_view bytes);
  // A GET (or another method) of `path` with the given extra header lines
  // ("Name: value\r\n" each); Host is 127.0.0.1:<port> unless given.
  bool SendRequest(const std::string& method, const std::string& path,
                   const std::string& headers = "");
  // The next reply, or none when the connection ended or `timeout` passed
  // first. A reply to HEAD has no body to read (`head`).
  std::optional<HttpReply> Read(std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                bool head = false);
  // True when the server ends the connection within `timeout`; whatever
  // arrives before that is dropped.
  bool WaitClosed(std::chrono::milliseconds timeout);
  void Close();

  // One request on a fresh connection.
  static std::optional<HttpReply> Get(uint16_t port, const std::string& path,
                                      const std::string& headers = "");

 private:
  // Reads more bytes into buffer_; false on end, error or timeout.
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  uint16_t port_ = 0;
  std::string buffer_;
};

}  // namespace brelvint
