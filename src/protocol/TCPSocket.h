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
#include "protocol/Transport.h"

namespace brelvint {

class ServerSocket;

// One TCP stream on the event loop: reads raise DataAvailable, writes are
// queued and leave once per loop pass, and the end of the connection
// raises Error exactly once, whatever ended it (the peer, a failure, an
// overflowing output queue or a local Close). The end is never raised
// inside the call that caused it: it runs as its own handler, so no caller
// finds its own connection torn down under it.
//
// Owned by the ServerSocket that accepted it (through a shared pointer),
// which drops it after its Error event has run.
//
// Its bytes go through a Transport picked when it begins: io_uring when
// the loop has a reactor (see EventLoop::Uring), else readiness waits on
// Asio's reactor; what a subclass sees is the same.
class TCPSocket : public Flushable,
                  private TransportOwner,
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
  // Queues a whole relayed message, shared with its other recipients
  // (OutputQueue::Share), without a copy: the relay's path, taken once per
  // recipient of every message relayed.
  void WriteRelayed(const OutputQueue::Slice& packet) {
    if (!connected_) return;
    transport_->AppendShared(packet);
    Queued(packet.size());
  }
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

  int64_t LastErrorCode() const { return last_error_; }
  const std::string& RemoteAddress() const { return remote_address_; }
  uint64_t Sequence() const { return sequence_; }
  size_t PendingOutput() const override { return transport_ ? transport_->Unsent() : 0; }
  // Unsent bytes that were written as replies.
  size_t PendingReplyOutput() const { return replies_ ? replies_->unsent : 0; }

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
  // Appends the received bytes to `out`.
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
  // Runs when a write took the unsent output from above kMaxPendingOutput
  // to at most that.
  virtual void OutputDrained() {}
  EventLoop& Loop() { return loop_; }
  // The transport, once the connection began (tests reach the readiness
  // waits through it).
  Transport* StreamTransport() { return transport_.get(); }

 private:
  friend class ServerSocket;

  // The listener hands over an accepted stream.
  asio::ip::tcp::socket& RawSocket() { return socket_; }
  void Adopt(ServerSocket* owner, uint64_t sequence);
  void Begin();
  void Flush() override;
  // Asks the loop to flush at the end of the pass, unless a flush is
  // already due (scheduled, or a write underway that goes on by itself).
  void RequestFlush();
  void TransportReceived(std::string_view bytes) override;
  void TransportSent(size_t count, size_t unsent_before) override;
  void TransportIdle() override;
  void TransportEnded(int64_t code) override { Abort(code); }
  void RaiseError();
  // The one place a slow consumer is cut.
  void CutSlowConsumer();
  // After `count` bytes were queued. Inline, as every write (each relayed
  // message, to each recipient) passes here: in the common case (no reply
  // being booked, under every limit, the flush already due) there is
  // nothing to do, and the rest is done in BookQueued.
  void Queued(size_t count) {
    const Transport& transport = *transport_;
    bool settled = !answering_ && replies_ == nullptr && transport.Unsent() <= kMaxPendingOutput &&
                   (transport.WriteUnderway() ||
                    (FlushScheduled() && transport.Gathered() < kEagerFlushBytes));
    if (!settled) BookQueued(count);
  }
  // Books the `count` bytes just queued, then cuts a slow consumer, or
  // flushes at once past kEagerFlushBytes, or asks for the flush.
  void BookQueued(size_t count);
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
  // The accepted stream until Begin hands it to the transport.
  asio::ip::tcp::socket socket_;
  std::shared_ptr<Transport> transport_;
  ServerSocket* owner_ = nullptr;
  std::string remote_address_;
  std::unique_ptr<ReplyLedger> replies_;
  // Bytes of the read being reported; one loop thread, so one view serves
  // every socket.
  static std::string_view fresh_;
  int64_t last_error_ = 0;
  int64_t close_code_ = 0;
  uint64_t sequence_ = 0;
  bool connected_ = false;
  bool ended_ = false;
  bool close_after_flush_ = false;
  bool answering_ = false;
  uint32_t slot_ = 0;  // place in the owning listener's connection list
};

}  // namespace brelvint
