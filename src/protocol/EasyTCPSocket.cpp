#include "protocol/EasyTCPSocket.h"

#include <cerrno>
#include <stdexcept>

#include "base/Metrics.h"
#include "protocol/PacketFramer.h"

namespace brelvint {

static_assert(EasyTCPSocket::kMaxBufferedInput >= PacketFramer::kMaxTotalLength,
              "a full input buffer must hold a whole message");

EasyTCPSocket::EasyTCPSocket(EventLoop& loop) : TCPSocket(loop) {}

EasyTCPSocket::~EasyTCPSocket() = default;

std::shared_ptr<Pollable> EasyTCPSocket::SelfAsPollable() {
  return std::static_pointer_cast<EasyTCPSocket>(shared_from_this());
}

std::string EasyTCPSocket::CreatePacket(int32_t command, std::string_view data) {
  return PacketFramer::CreatePacket(command, data);
}

void EasyTCPSocket::SendMessage(int32_t command, std::string_view data) {
  if (!IsConnected()) return;
  char header[PacketFramer::kHeaderSize];
  PacketFramer::WriteHeader(header, command, data.size());
  // In one piece: a flush between header and payload would run pass-end
  // work that may write another message to this very connection.
  WriteWhole(std::string_view(header, sizeof header), data);
}

void EasyTCPSocket::Close() {
  Loop().RemovePollableObject(*this);
  TCPSocket::Close();
}

std::string EasyTCPSocket::Read(size_t) {
  throw std::runtime_error("You cannot call Read on an EasyTCPSocket directly.");
}

std::string EasyTCPSocket::ReadAll() {
  throw std::runtime_error("You cannot call ReadAll on an EasyTCPSocket directly.");
}

void EasyTCPSocket::Write(std::string_view) {
  throw std::runtime_error("You cannot call Write on an EasyTCPSocket directly.");
}

void EasyTCPSocket::Connected() { Loop().AddPollableObject(SelfAsPollable()); }

void EasyTCPSocket::Error(int64_t) {
  Loop().RemovePollableObject(*this);
  input_.reset();
}

void EasyTCPSocket::DataAvailable() {
  if (!input_) input_ = std::make_unique<Input>();
  Input& input = *input_;
  // The delivered front goes once it is at least half the buffer, so the
  // rest moves at most as often as its own size has been delivered.
  if (input.delivered > 0 && input.delivered >= input.bytes.size() / 2) {
    input.bytes.erase(0, input.delivered);
    input.framed -= input.delivered;
    input.delivered = 0;
  }
  TakeReceived(input.bytes);
  if (!FrameArrivals()) return;
  MarkReadyIfWaiting();
  UpdateReading();
}

bool EasyTCPSocket::FrameArrivals() {
  Input& input = *input_;
  for (;;) {
    int32_t command = 0;
    std::string_view payload;
    size_t consumed = 0;
    auto result = PacketFramer::Next(std::string_view(input.bytes).substr(input.framed), &command,
                                     &payload, &consumed);
    if (result == PacketFramer::Result::kNeedMore) return true;
    if (result == PacketFramer::Result::kBadLength) {
      Loop().RemovePollableObject(*this);
      input_.reset();
      Abort(EPROTO);
      return false;
    }
    input.framed += consumed;
  }
}

void EasyTCPSocket::UpdateReading() {
  bool want = IsConnected() && !output_held_ && Buffered() < kMaxBufferedInput;
  if (want == reading_) return;
  reading_ = want;
  SetReading(want);
}

void EasyTCPSocket::MarkReadyIfWaiting() {
  if (HasWholeMessage() && !MarkedReady()) Loop().MarkReady(SelfAsPollable());
}

void EasyTCPSocket::OutputDrained() {
  if (!output_held_ || !IsConnected()) return;
  output_held_ = false;
  UpdateReading();
  MarkReadyIfWaiting();
}

void EasyTCPSocket::DeliverOne() {
  Input& input = *input_;
  int32_t command = 0;
  std::string_view payload;
  size_t consumed = 0;
  PacketFramer::Next(std::string_view(input.bytes).substr(input.delivered), &command, &payload,
                     &consumed);
  input.delivered += consumed;
  // The handler gets a string of its own: it may end the connection, which
  // frees the input. One per loop, lent out while in use, so a handler that
  // delivers on another connection gets a fresh one.
  static std::string spare;
  std::string data;
  data.swap(spare);
  data.assign(payload);
  if (input.delivered == input.bytes.size()) input_.reset();
  BeginReply();
  Metrics::Process().CountCommand(command);
  ReceivedMessage(command, data);
  EndReply();
  data.swap(spare);
}

void EasyTCPSocket::DeferReply() { reply_deferred_ = true; }

void EasyTCPSocket::SendDeferredReply(int32_t command, std::string framed) {
  if (!reply_deferred_ || !IsConnected()) return;
  reply_deferred_ = false;
  PacketFramer::WriteHeader(framed.data(), command, framed.size() - PacketFramer::kHeaderSize);
  BeginReply();
  WriteOwned(std::move(framed));
  EndReply();
  MarkReadyIfWaiting();
}

bool EasyTCPSocket::Poll() {
  // Messages still waiting when the stream ended are never delivered.
  if (!IsConnected() || reply_deferred_) return false;
  if (PendingOutput() > kMaxPendingOutput) {
    // The peer is not reading what it asked for: answer nothing more (and
    // read nothing more) until it does; OutputDrained resumes.
    output_held_ = true;
    UpdateReading();
    return false;
  }
  if (HasWholeMessage()) DeliverOne();
  UpdateReading();
  return IsConnected() && !reply_deferred_ && HasWholeMessage();
}

}  // namespace brelvint
