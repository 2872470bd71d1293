#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/EventLoop.h"
#include "protocol/TCPSocket.h"

namespace brelvint {

// A TCP stream that carries messages (a 32-bit command and a byte
// payload, framed by PacketFramer) instead of raw bytes. Complete messages
// are queued as soon as their bytes arrive and handed to the subclass one
// per loop pass (ReceivedMessage), in arrival order. The raw Read, ReadAll
// and Write of the stream are refused.
//
// The queue is bounded by back-pressure: with kMaxQueuedMessages waiting,
// the socket stops taking packets out of its buffer and stops reading, so
// TCP holds the rest; nothing is dropped or reordered. Output is bounded the
// same way: what a handler writes while ReceivedMessage runs is that
// message's reply (TCPSocket::BeginReply), and while the unsent output is
// over TCPSocket::kMaxPendingOutput no further message is delivered and
// reading stops, until the peer has read enough of it.
class EasyTCPSocket : public TCPSocket, public Pollable {
 public:
  static constexpr size_t kMaxQueuedMessages = 64;

  explicit EasyTCPSocket(EventLoop& loop);
  ~EasyTCPSocket() override;

  // Sends one packet; does nothing when not connected.
  void SendMessage(int32_t command, std::string_view data);
  // Sends bytes that already form whole packets (a relay builds one packet
  // and hands it to every recipient).
  void SendPackets(std::string_view packets);
  static std::string CreatePacket(int32_t command, std::string_view data);

  void Close() override;
  std::string Read(size_t count);
  std::string ReadAll() override;
  void Write(std::string_view data) override;

  // Listens (TCPSocket::Listen) and runs the loop until a peer connected:
  // false on a stream error or after `timeout` seconds.
  bool WaitForConnection(int64_t timeout);
  // Runs the loop until a message with `command` arrives and returns its
  // payload (other messages meanwhile are discarded); empty when not
  // connected, on a stream error or after `timeout` seconds.
  std::string WaitForMessage(int32_t command, int64_t timeout);

  // Delivers at most one queued message. True while more are queued.
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
  bool paused_ = false;          // the message queue is full
  bool output_held_ = false;     // the unsent output is over the limit
  bool reply_deferred_ = false;  // a reply is being produced elsewhere

  struct Message {
    int32_t command;
    std::string data;
  };

  // What an idle connection does without: messages not yet delivered
  // (oldest first from `head`), the received bytes not yet parsed (an
  // incomplete message, or what a full queue left), and what WaitForMessage
  // waits for and got. Allocated only while some of it is in use, so the
  // thousands of idle connections of a busy listener carry one null pointer.
  struct Inbox {
    std::vector<Message> messages;
    size_t head = 0;
    std::string mDataBuffer;
    std::string mCommandResponse;
    int32_t mWaitForThisCommand = -1;
    bool mWaitingForACommand = false;
  };

  void AddEvent(int32_t command, std::string_view data);
  bool RetrieveEvent(int32_t* command, std::string* data);
  void FireEvents();
  // Queues the whole messages at the front of `bytes` until the queue is
  // full; returns how many bytes they took. Ends the connection on a bad
  // length.
  size_t ParseMessages(std::string_view bytes);
  // Parses what the inbox kept, after the queue made room.
  void ProcessData();
  // Takes reading on or off as the queue filled or made room.
  void NoteQueueLevel();
  bool WaitingForThisMessage(int32_t command, std::string_view data) const;
  bool WaitingForAMessage() const { return mEvents && mEvents->mWaitingForACommand; }
  size_t QueuedMessages() const { return mEvents ? mEvents->messages.size() - mEvents->head : 0; }
  Inbox& MutableInbox();
  // Frees the inbox once nothing in it is in use.
  void ReleaseIdleInbox();
  std::shared_ptr<Pollable> SelfAsPollable();
  // Reads from the kernel unless the queue is full or output is held.
  void UpdateReading();

  std::unique_ptr<Inbox> mEvents;
};

}  // namespace brelvint
