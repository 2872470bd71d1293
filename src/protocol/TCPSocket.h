#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "protocol/Asio.h"
#include "protocol/EventLoop.h"
#include "protocol/UringReactor.h"

namespace brelvint {

class ServerSocket;

// One TCP stream on the event loop: non-blocking reads raise DataAvailable,
// writes are queued and leave once per loop pass, and the end of the
// connection raises Error exactly once, whatever ended it (the peer, a
// failure, an overflowing output queue or a local Close). The end is never
// raised inside the call that caused it: it runs as its own handler, so no
// caller finds its own connection torn down under it.
//
// Owned by the ServerSocket that accepted it (through a shared pointer),
// which drops it after its Error event has run.
//
// Its reads and writes go through the loop's io_uring reactor when the loop
// has one (see EventLoop::Uring), else through readiness waits on Asio's
// reactor and non-blocking system calls; what a subclass sees is the same.
class TCPSocket : public Flushable,
                  public UringClient,
                  public std::enable_shared_from_this<TCPSocket> {
 public:
  // The slow-consumer limit. Unsent output beyond this, not counting the
  // unsent part of replies (see BeginReply), ends the connection: a peer
  // that stops reading while others' messages keep coming for it cannot
  // make the server buffer without bound. A reply of any size still
  // reaches a peer that reads; while the unsent output is over this, a
  // message stream delivers the peer no further message (see
  // EasyTCPSocket), so asking again and again without reading gains
  // nothing.
  static constexpr size_t kMaxPendingOutput = 1 << 20;
  // Output at which a write goes out at once instead of at the flush.
  static constexpr size_t kEagerFlushBytes = 64 * 1024;
  // One write hands the kernel at most this much: a reply of many megabytes
  // leaves over several loop passes, each a fraction of a millisecond,
  // instead of holding up every other connection for one long copy.
  static constexpr size_t kMaxWriteBytes = 256 * 1024;
  // A flush at least this large marks a busy connection that keeps its buffer,
  // up to kKeepBufferBytes of room: a busy connection's output grows to
  // hundreds of kilobytes while its previous send is in the kernel's hands,
  // and giving such a buffer back at every flush costs a fresh mapping and
  // its page faults at the next.
  static constexpr size_t kKeepBufferAfterBytes = 1024;
  static constexpr size_t kKeepBufferBytes = kMaxPendingOutput;
  // Codes for ends that have no errno of their own.
  static constexpr int64_t kPeerClosed = 0;

  explicit TCPSocket(EventLoop& loop);
  ~TCPSocket() override;
  TCPSocket(const TCPSocket&) = delete;
  TCPSocket& operator=(const TCPSocket&) = delete;

  // The bytes of the read being reported. Bytes are offered once, during
  // DataAvailable; what the handler does not take then is dropped, so an
  // idle connection keeps no receive buffer.
  virtual std::string ReadAll();
  // Queues `bytes`; they leave in order at the end of this loop pass (or
  // at once, past kEagerFlushBytes). Dropped silently when not connected.
  virtual void Write(std::string_view bytes);
  bool IsConnected() const { return connected_; }
  // Ends the connection now; unsent output is dropped. Raises Error
  // (ECONNABORTED) unless the connection already ended.
  virtual void Close();
  // How long CloseWhenFlushed waits for a peer that does not read.
  static constexpr std::chrono::seconds kCloseFlushLimit{5};
  // Ends the connection with `code` once everything queued so far has
  // been sent (or sending failed), or after kCloseFlushLimit, whichever
  // comes first: a peer that stopped reading must not keep it open.
  void CloseWhenFlushed(int64_t code);
  // True once CloseWhenFlushed was asked: the connection is on its way out.
  bool Closing() const { return close_after_flush_; }
  // Runs the loop's ready handlers, this socket's included.
  void Poll();
  // Accepts one connection on `Port` of `address`. Returns false and sets
  // LastErrorCode when it cannot listen.
  bool Listen(const std::string& address = "127.0.0.1");
  // Connects to `address`:`port` (used by clients of our own: tests, the
  // probe). False, with LastErrorCode set, when the connection failed.
  bool Connect(const std::string& address, uint16_t port);

  int64_t LastErrorCode() const { return last_error_; }
  const std::string& RemoteAddress() const { return remote_address_; }
  uint64_t Sequence() const { return sequence_; }
  size_t PendingOutput() const override {
    return output_.size() + (inflight_ ? inflight_->size() : 0) - sent_;
  }
  // Unsent bytes that were written as replies.
  size_t PendingReplyOutput() const { return replies_ ? replies_->unsent : 0; }

  int64_t Port = 0;

 protected:
  virtual void Connected() {}
  virtual void DataAvailable() {}
  virtual void Error(int64_t code) { (void)code; }

  // Queues `first` then `second` as one piece, like Write: an eager flush,
  // and the pass-end work it runs first, comes after both or not at all,
  // so nothing written meanwhile can land between them (a message's header
  // and its payload).
  void WriteWhole(std::string_view first, std::string_view second);
  // Like Write, but takes the buffer: queued behind nothing, it becomes the
  // output as it is, so a reply of many megabytes costs the loop no copy.
  void WriteOwned(std::string bytes);
  // Appends the received bytes to `out` (cheaper than ReadAll for a
  // subclass that keeps its own buffer).
  void TakeReceived(std::string& out);
  // Stops or resumes reading from the kernel (back-pressure: unread bytes
  // stay in the kernel and TCP slows the sender down).
  void SetReading(bool on);
  // Ends the connection with `code`; see the class comment.
  void Abort(int64_t code);
  // Between these, written bytes are the peer's answer to a request of its
  // own and do not count toward kMaxPendingOutput.
  void BeginReply() { answering_ = true; }
  void EndReply() { answering_ = false; }
  // Runs when a flush took the unsent output from above kMaxPendingOutput
  // to at most that.
  virtual void OutputDrained() {}
  // What the readiness waits do with their result: an error other than our
  // own cancellation ends the connection (once), since a socket whose wait
  // failed would otherwise stay open and never read or write again.
  // Protected so tests can hand them the errors the kernel rarely gives.
  void ReadWaitDone(const boost::system::error_code& ec);
  void WriteWaitDone(const boost::system::error_code& ec);
  EventLoop& Loop() { return loop_; }

 private:
  friend class ServerSocket;

  // The listener hands over an accepted stream.
  asio::ip::tcp::socket& RawSocket() { return socket_; }
  void Adopt(ServerSocket* owner, uint64_t sequence);
  void Begin();
  void WatchReadable();
  void OnReadable();
  void Flush() override;
  // Asks the loop to flush at the end of the pass, unless a flush is
  // already due (scheduled, or waiting for the kernel to take more).
  void RequestFlush();
  void WatchWritable();
  // The io_uring ways of the same steps.
  void FlushThroughUring();
  void SendInflight();
  void UringReceived(std::string_view bytes) override;
  void UringReceiveEnded(int result) override;
  void UringSent(int result) override;
  bool UringWantsReceive() const override { return !ended_ && reading_; }
  // After a flush that sent all of `buffer`: a busy connection keeps it for
  // the next pass, a quiet one gives it back.
  static void KeepOrRelease(std::string& buffer, size_t flushed);
  void RaiseError();
  // The one place a slow consumer is cut.
  void CutSlowConsumer();
  // Books the `count` bytes just queued, then cuts a slow consumer, or
  // flushes at once past kEagerFlushBytes, or asks for the flush.
  void Queued(size_t count);
  // Books `count` bytes just queued, as a reply when answering.
  void NoteQueued(size_t count);
  // Books `count` bytes the kernel just took.
  void NoteSent(size_t count);

  // Which unsent bytes are replies. Positions count from the send point at
  // the moment the ledger was opened; it exists only while reply bytes are
  // unsent, so an idle connection carries no more than a null pointer.
  struct ReplyLedger {
    struct Range {
      uint64_t begin;
      uint64_t end;
    };
    uint64_t queued = 0;  // position just after the last byte queued
    uint64_t sent = 0;    // position just after the last byte sent
    size_t unsent = 0;    // reply bytes not yet sent
    // Unsent reply stretches, oldest first; consecutive replies merge.
    std::vector<Range> ranges;
  };

  EventLoop& loop_;
  asio::ip::tcp::socket socket_;
  ServerSocket* owner_ = nullptr;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::string remote_address_;
  std::string output_;
  // Bytes already written: at the front of output_, or with io_uring, of
  // inflight_ (output_ then never leaves in part).
  size_t sent_ = 0;
  // With io_uring: the bytes of the send in the kernel's hands, which new
  // output must not move; null while none is.
  std::unique_ptr<std::string> inflight_;
  // With io_uring: the descriptor, taken from socket_ so Asio's reactor
  // does not watch it as well; the multishot receive while one runs.
  int uring_fd_ = -1;
  uint64_t receive_ = 0;
  std::unique_ptr<ReplyLedger> replies_;
  // Bytes of the read being reported; one loop thread, so one view serves
  // every socket.
  static std::string_view fresh_;
  int64_t last_error_ = 0;
  int64_t close_code_ = 0;
  uint64_t sequence_ = 0;
  bool connected_ = false;
  bool ended_ = false;
  bool reading_ = true;
  bool read_armed_ = false;
  bool write_armed_ = false;
  bool close_after_flush_ = false;
  bool answering_ = false;
  uint32_t slot_ = 0;  // place in the owning listener's connection list
};

}  // namespace brelvint
