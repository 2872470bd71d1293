#include "TestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "client/MD5.h"
#include "protocol/EventLoop.h"
#include "protocol/PacketFramer.h"

namespace brelvint {

namespace {

using Clock = std::chrono::steady_clock;

// Every connection answers the goodbye command, at any stage of its login.
constexpr int32_t kFenceCommand = 999;
constexpr char kFenceReply[] = "BYE";

// `data` with bytes outside printable ASCII as \xNN, for failure messages.
std::string Printable(const std::string& data) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : data) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xf]);
    }
  }
  return out;
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

TestClient::~TestClient() { Close(); }

bool TestClient::Connect(uint16_t port, const std::string& source) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return false;
  // The port is picked at connect time, for this destination, so ports
  // still waiting out an earlier connection to another port stay usable:
  // tests that open thousands of connections would run out otherwise.
  int no_port = 1;
  ::setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &no_port, sizeof no_port);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) return false;
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  closed_ = false;
  buffer_.clear();
  return true;
}

void TestClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TestClient::SendRaw(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void TestClient::Send(int32_t command, std::string_view data) {
  SendRaw(PacketFramer::CreatePacket(command, data));
}

bool TestClient::Fill(int wait_ms, EventLoop* loop) {
  if (fd_ < 0 || closed_) return false;
  if (loop != nullptr) {
    loop->DoEvents(1);
    wait_ms = 0;
  }
  pollfd entry{fd_, POLLIN, 0};
  if (::poll(&entry, 1, wait_ms) <= 0) return true;
  char chunk[65536];
  ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n > 0) {
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  closed_ = true;
  return false;
}

std::optional<TestClient::Message> TestClient::TakeMessage() {
  // Read by hand, without the server's limit on what it accepts: answers
  // such as the ban list may be far larger than any request.
  if (buffer_.size() < 8) return std::nullopt;
  auto field = [&](size_t at) {
    uint32_t value = 0;
    for (size_t k = 0; k < 4; ++k) value = value << 8 | static_cast<unsigned char>(buffer_[at + k]);
    return static_cast<int32_t>(value);
  };
  int32_t length = field(0);
  if (length < 8 || buffer_.size() < static_cast<size_t>(length)) return std::nullopt;
  Message message{field(4), buffer_.substr(8, static_cast<size_t>(length) - 8)};
  buffer_.erase(0, static_cast<size_t>(length));
  return message;
}

std::optional<TestClient::Message> TestClient::Receive(int timeout_ms, EventLoop* loop) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (auto message = TakeMessage()) return message;
    if (Clock::now() >= deadline) return std::nullopt;
    if (!Fill(std::min(RemainingMs(deadline), 50), loop)) return TakeMessage();
  }
}

std::optional<TestClient::Message> TestClient::ReceiveCommand(int32_t command, int timeout_ms,
                                                              EventLoop* loop) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (auto message = Receive(RemainingMs(deadline), loop)) {
    if (message->command == command) return message;
  }
  return std::nullopt;
}

std::string TestClient::ReceiveRaw(size_t count, int timeout_ms, EventLoop* loop) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (buffer_.size() < count && Clock::now() < deadline) {
    if (!Fill(std::min(RemainingMs(deadline), 50), loop)) break;
  }
  std::string out = buffer_.substr(0, count);
  buffer_.erase(0, out.size());
  return out;
}

std::optional<std::vector<TestClient::Message>> TestClient::MessagesBeforeFence(EventLoop* loop,
                                                                            int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Send(kFenceCommand, "");
  std::vector<Message> before;
  while (auto message = Receive(RemainingMs(deadline), loop)) {
    if (message->command == kFenceCommand && message->data == kFenceReply) return before;
    before.push_back(std::move(*message));
  }
  return std::nullopt;
}

::testing::AssertionResult TestClient::ExpectFenceNext(EventLoop* loop, int timeout_ms) {
  auto before = MessagesBeforeFence(loop, timeout_ms);
  if (!before) return ::testing::AssertionFailure() << "no reply to the fence";
  if (before->empty()) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  failure << before->size() << " message(s) before the fence:";
  for (const auto& message : *before) {
    failure << " [" << message.command << " \"" << Printable(message.data) << "\"]";
  }
  return failure;
}

bool TestClient::WaitClosed(int timeout_ms, EventLoop* loop) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!closed_ && Clock::now() < deadline) Fill(std::min(RemainingMs(deadline), 50), loop);
  return closed_;
}

bool TestClient::Login(const std::string& network, const std::string& password,
                       const std::string& user, EventLoop* loop) {
  Send(1, network);
  auto selected = ReceiveCommand(2, 3000, loop);
  if (!selected || selected->data != "OK") return false;
  Send(2, MD5::Digest(password));
  auto proved = ReceiveCommand(3, 3000, loop);
  if (!proved || proved->data != "OK") return false;
  Send(3, user);
  auto named = ReceiveCommand(4, 3000, loop);
  return named && named->data == "OK";
}

}  // namespace brelvint
