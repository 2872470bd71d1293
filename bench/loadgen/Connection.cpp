#include "Connection.h"

#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace brelvint {

Connection::~Connection() { Close(); }

Connection::Connection(Connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      role_(other.role_),
      stage_(other.stage_),
      write_armed_(other.write_armed_),
      flush_queued_(other.flush_queued_),
      index_(other.index_),
      carry_(std::move(other.carry_)),
      output_(std::move(other.output_)) {}

bool Connection::StartConnect(const sockaddr_in& source, const sockaddr_in& target) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int one = 1;
  // Reports are small and latency is measured: no Nagle delay.
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Binding a source address would otherwise reserve a port per address for
  // every destination; deferring the choice to connect() lets thousands of
  // sockets share each source address.
  setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) return false;
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
      errno != EINPROGRESS) {
    return false;
  }
  stage_ = Stage::kConnecting;
  return true;
}

int Connection::ConnectError() const {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

Connection::IoResult Connection::Read(char* buffer, size_t capacity, size_t* size) {
  size_t carried = carry_.size();
  std::memcpy(buffer, carry_.data(), carried);
  ssize_t got;
  do {
    got = ::read(fd_, buffer + carried, capacity - carried);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return IoResult::kWouldBlock;
  if (got <= 0) return IoResult::kClosed;
  *size = carried + static_cast<size_t>(got);
  return IoResult::kOk;
}

Connection::IoResult Connection::Flush() {
  size_t sent = 0;
  IoResult result = IoResult::kOk;
  while (sent < output_.size()) {
    ssize_t wrote = ::send(fd_, output_.data() + sent, output_.size() - sent, MSG_NOSIGNAL);
    if (wrote >= 0) {
      sent += static_cast<size_t>(wrote);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      result = IoResult::kWouldBlock;
      break;
    } else if (errno != EINTR) {
      result = IoResult::kClosed;
      break;
    }
  }
  output_.erase(0, sent);
  return result;
}

void Connection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  stage_ = Stage::kClosed;
}

}  // namespace brelvint
