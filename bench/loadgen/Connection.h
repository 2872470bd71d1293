#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace brelvint {

// One client socket of the load generator with its byte queues and its place
// in the run. The LoadDriver owns every Connection in one vector whose index
// is the epoll key; the vector is sized before the first connect, so a
// Connection never moves while its socket is open.
class Connection {
 public:
  enum class Role : uint8_t {
    kMember,     // a member of the measured network (its index is the member number)
    kBulk,       // an idle member of the bulk network
    kPublisher,  // a reporter's Redis publishing connection (index: the reporter)
  };

  enum class Stage : uint8_t {
    kIdle,
    kConnecting,
    kAwaitGreeting,
    kGreeted,  // greeting seen, login held back for the storm
    kAwaitNetworkReply,
    kAwaitPasswordReply,
    kAwaitNameReply,
    kAwaitSubscribed,
    kReady,
    kFailed,  // the server refused the login
    kClosed,
  };

  enum class IoResult { kOk, kWouldBlock, kClosed };

  Connection(Role role, uint32_t index) : role_(role), index_(index) {}
  ~Connection();
  Connection(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Connection& operator=(Connection&&) = delete;

  // Creates a non-blocking socket bound to `source` (the port is chosen at
  // connect time, per destination) and starts connecting it to `target`.
  // False, with errno set, when the socket cannot be made or the connect
  // failed at once.
  bool StartConnect(const sockaddr_in& source, const sockaddr_in& target);

  // Once the socket turned writable while connecting: 0, or the errno the
  // connect ended with.
  int ConnectError() const;

  // Copies the bytes carried from the last read to `buffer`, then reads once
  // behind them. On kOk, *size is the carried plus the new bytes. kClosed
  // covers end of stream and errors alike.
  IoResult Read(char* buffer, size_t capacity, size_t* size);

  // Keeps the unconsumed tail of the last read for the next one.
  void Carry(const char* data, size_t size) { carry_.assign(data, size); }

  std::string& output() { return output_; }

  // Writes as much queued output as the socket takes. kWouldBlock: some is
  // left and the caller must wait for writability.
  IoResult Flush();

  void Close();

  int fd() const { return fd_; }
  Role role() const { return role_; }
  uint32_t index() const { return index_; }
  Stage stage() const { return stage_; }
  void set_stage(Stage stage) { stage_ = stage; }
  bool write_armed() const { return write_armed_; }
  void set_write_armed(bool armed) { write_armed_ = armed; }
  bool flush_queued() const { return flush_queued_; }
  void set_flush_queued(bool queued) { flush_queued_ = queued; }

 private:
  int fd_ = -1;
  Role role_;
  Stage stage_ = Stage::kIdle;
  bool write_armed_ = false;
  bool flush_queued_ = false;
  uint32_t index_;
  std::string carry_;
  std::string output_;
};

}  // namespace brelvint
