#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/EventLoop.h"
#include "protocol/TCPSocket.h"

namespace brelvint {

// A TCP stream that carries messages (a 32-bit command and a byte
// payload, framed by PacketFramer) instead of raw bytes. Received bytes are
// kept until their messages are delivered to the subclass, one per loop
// pass (ReceivedMessage), in arrival order; a bad length ends the
// connection as soon as it arrives. The raw Read, ReadAll and Write of the
// stream are refused.
//
// Input is bounded by back-pressure: with kMaxBufferedInput bytes waiting
// (always at least one whole message), the socket stops reading, so TCP
// holds the rest; nothing is dropped or reordered. Output is bounded the
// same way: what a handler writes while ReceivedMessage runs is that
// message's reply (TCPSocket::BeginReply), and while the unsent output is
// over TCPSocket::kMaxPendingOutput no further message is delivered and
// reading stops, until the peer has read enough of it.
class EasyTCPSocket : public TCPSocket, public Pollable {
 public:
  // The largest message, so a full buffer always holds a whole one.
  static constexpr size_t kMaxBufferedInput = 64 * 1024;

  explicit EasyTCPSocket(EventLoop& loop);
  ~EasyTCPSocket() override;

  // Sends one packet; does nothing when not connected.
  void SendMessage(int32_t command, std::string_view data);
  static std::string CreatePacket(int32_t command, std::string_view data);

  void Close() override;
  std::string Read(size_t count);
  std::string ReadAll() override;
  void Write(std::string_view data) override;

  // Delivers at most one message. True while more whole ones wait.
  bool Poll() override;

  // For a request answered later, from work done off the loop: called while
  // ReceivedMessage runs, DeferReply holds back this connection's next
  // messages, so replies keep the order of the requests;
  // SendDeferredReply sends the answer, as a reply (TCPSocket::BeginReply),
  // and resumes delivery. Does nothing once the connection has ended.
  void DeferReply();
  // `framed` is the payload behind PacketFramer::kHeaderSize bytes of room,
  // which take the header: a reply of many megabytes is sent as it was
  // built, without a copy on the loop.
  void SendDeferredReply(int32_t command, std::string framed);

 protected:
  virtual void ReceivedMessage(int32_t command, const std::string& data) {
    (void)command;
    (void)data;
  }
  // Subclasses that handle these call the base first.
  void Connected() override;
  void Error(int64_t code) override;
  void DataAvailable() override;
  void OutputDrained() override;

 private:
  // Received bytes not yet delivered. Consumed by offsets, so each byte is
  // moved at most once more (when the spent front is dropped); allocated
  // only while it holds something, so the thousands of idle connections of
  // a busy listener carry one null pointer.
  struct Input {
    std::string bytes;
    size_t delivered = 0;  // bytes of messages already delivered
    size_t framed = 0;     // bytes of whole messages whose length was checked
  };

  size_t Buffered() const { return input_ ? input_->bytes.size() - input_->delivered : 0; }
  bool HasWholeMessage() const { return input_ && input_->framed > input_->delivered; }
  // Checks the lengths of the messages that arrived whole; false after a
  // bad one, which ended the connection.
  bool FrameArrivals();
  void DeliverOne();
  std::shared_ptr<Pollable> SelfAsPollable();
  // Reads from the kernel unless the input is full or output is held.
  void UpdateReading();
  void MarkReadyIfWaiting();

  std::unique_ptr<Input> input_;
  bool reading_ = true;
  bool output_held_ = false;     // the unsent output is over the limit
  bool reply_deferred_ = false;  // a reply is being produced elsewhere
};

}  // namespace brelvint
