#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <string_view>

#include "protocol/Asio.h"
#include "protocol/Transport.h"

namespace brelvint {

// A connection's bytes through Asio's reactor (epoll): a readiness wait,
// then a non-blocking read or write. A write gathers the front of the
// output (one sendmsg of its pieces); when the kernel's buffer is full, a
// writable wait resumes it.
//
// Shared with its handlers, which keep it alive; reports to its owner only
// until Close.
class EpollTransport : public Transport, public std::enable_shared_from_this<EpollTransport> {
 public:
  // One read takes at most this much; the loop has one buffer of this size
  // for every connection.
  static constexpr size_t kReadChunk = 64 * 1024;

  explicit EpollTransport(asio::ip::tcp::socket socket);
  ~EpollTransport() override;

  void Start(TransportOwner* owner) override;
  void SetReading(bool on) override;
  void Flush() override;
  void Close() override;

  // What the readiness waits do with their result: an error other than our
  // own cancellation ends the stream (once), since a socket whose wait
  // failed would otherwise stay open and never read or write again. Public
  // so tests can hand them the errors the kernel rarely gives.
  void ReadWaitDone(const boost::system::error_code& ec);
  void WriteWaitDone(const boost::system::error_code& ec);

 private:
  void WatchReadable();
  void OnReadable();
  void WatchWritable();
  // One write; false when it ended the stream.
  bool WriteSome();
  // Reports the end through the loop, once.
  void End(int64_t code);

  asio::ip::tcp::socket socket_;
  TransportOwner* owner_ = nullptr;
  bool reading_ = true;     // the owner wants bytes
  bool read_wait_ = false;  // a readable wait is armed
  bool ended_ = false;      // ended or closed: nothing more is reported
};

}  // namespace brelvint
