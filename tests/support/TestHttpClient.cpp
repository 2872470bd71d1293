#include "support/TestHttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace brelvint {

std::string HttpReply::Header(const std::string& lower_case_name) const {
  auto found = Headers.find(lower_case_name);
  return found == Headers.end() ? std::string() : found->second;
}

TestHttpClient::~TestHttpClient() { Close(); }

void TestHttpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TestHttpClient::Connect(uint16_t port, const std::string& source) {
  Close();
  buffer_.clear();
  port_ = port;
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
      ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool TestHttpClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool TestHttpClient::SendRequest(const std::string& method, const std::string& path,
                                 const std::string& headers) {
  std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  std::string lower = headers;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.rfind("host:", 0) == 0 || lower.find("\r\nhost:") != std::string::npos) host.clear();
  return Send(method + " " + path + " HTTP/1.1\r\n" + host + headers + "\r\n");
}

bool TestHttpClient::Fill(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || fd_ < 0) return false;
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[16384];
  ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
  if (got <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(got));
  return true;
}

std::optional<HttpReply> TestHttpClient::Read(std::chrono::milliseconds timeout, bool head) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t end;
  while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(deadline)) return std::nullopt;
  }
  HttpReply reply;
  std::string header = buffer_.substr(0, end + 2);
  buffer_.erase(0, end + 4);
  size_t space = header.find(' ');
  if (space == std::string::npos) return std::nullopt;
  reply.Status = std::atoi(header.c_str() + space + 1);
  for (size_t at = header.find("\r\n") + 2; at < header.size();) {
    size_t line_end = header.find("\r\n", at);
    std::string line = header.substr(at, line_end - at);
    at = line_end + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t value = line.find_first_not_of(' ', colon + 1);
    reply.Headers[name] = value == std::string::npos ? "" : line.substr(value);
  }
  size_t length =
      head ? 0 : static_cast<size_t>(std::atoll(reply.Header("content-length").c_str()));
  while (buffer_.size() < length) {
    if (!Fill(deadline)) return std::nullopt;
  }
  reply.Body = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return reply;
}

bool TestHttpClient::WaitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 1))) <= 0) continue;
    char chunk[16384];
    ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return true;  // end of stream or reset
  }
  return false;
}

std::optional<HttpReply> TestHttpClient::Get(uint16_t port, const std::string& path,
                                             const std::string& headers) {
  TestHttpClient client;
  if (!client.Connect(port) || !client.SendRequest("GET", path, headers)) return std::nullopt;
  return client.Read();
}

}  // namespace brelvint
