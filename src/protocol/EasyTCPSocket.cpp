#include "protocol/EasyTCPSocket.h"

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "base/Metrics.h"
#include "protocol/PacketFramer.h"

namespace brelvint {

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
  std::string header;
  PacketFramer::AppendHeader(header, command, data.size());
  // In one piece: a flush between header and payload would run pass-end
  // work that may write another message to this very connection.
  WriteWhole(header, data);
}

void EasyTCPSocket::SendPackets(std::string_view packets) {
  if (IsConnected()) TCPSocket::Write(packets);
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
  if (!mEvents) return;
  // A reply WaitForMessage got just before the end is still its to return.
  std::vector<Message>().swap(mEvents->messages);
  mEvents->head = 0;
  std::string().swap(mEvents->mDataBuffer);
  ReleaseIdleInbox();
}

EasyTCPSocket::Inbox& EasyTCPSocket::MutableInbox() {
  if (!mEvents) mEvents = std::make_unique<Inbox>();
  return *mEvents;
}

void EasyTCPSocket::ReleaseIdleInbox() {
  if (mEvents && mEvents->head == mEvents->messages.size() && mEvents->mDataBuffer.empty() &&
      !mEvents->mWaitingForACommand && mEvents->mCommandResponse.empty()) {
    mEvents.reset();
  }
}

void EasyTCPSocket::DataAvailable() {
  if (mEvents && !mEvents->mDataBuffer.empty()) {
    TakeReceived(mEvents->mDataBuffer);
    ProcessData();
    return;
  }
  // Most reads end on a message boundary: they are parsed where they were
  // read, and only what is left over is kept. One loop thread, so one
  // buffer serves every connection.
  static std::string received;
  received.clear();
  TakeReceived(received);
  size_t used = ParseMessages(received);
  if (used < received.size() && IsConnected()) {
    MutableInbox().mDataBuffer.assign(received, used, std::string::npos);
  }
  NoteQueueLevel();
}

void EasyTCPSocket::ProcessData() {
  if (!mEvents) return;
  std::string& rest = mEvents->mDataBuffer;
  size_t used = ParseMessages(rest);
  if (used >= rest.size()) {
    std::string().swap(rest);
  } else {
    rest.erase(0, used);
  }
  ReleaseIdleInbox();
  NoteQueueLevel();
}

size_t EasyTCPSocket::ParseMessages(std::string_view bytes) {
  size_t offset = 0;
  while (IsConnected() && QueuedMessages() < kMaxQueuedMessages) {
    int32_t command = 0;
    std::string_view payload;
    size_t consumed = 0;
    auto result = PacketFramer::Next(bytes.substr(offset), &command, &payload, &consumed);
    if (result == PacketFramer::Result::kNeedMore) break;
    if (result == PacketFramer::Result::kBadLength) {
      Loop().RemovePollableObject(*this);
      Abort(EPROTO);
      return offset;
    }
    offset += consumed;
    if (WaitingForAMessage()) {
      if (WaitingForThisMessage(command, payload)) {
        mEvents->mWaitingForACommand = false;
        mEvents->mCommandResponse.assign(payload);
      }
      continue;
    }
    AddEvent(command, payload);
  }
  return offset;
}

void EasyTCPSocket::NoteQueueLevel() {
  bool full = QueuedMessages() >= kMaxQueuedMessages;
  if (full != paused_) {
    paused_ = full;
    UpdateReading();
  }
}

void EasyTCPSocket::UpdateReading() { SetReading(!paused_ && !output_held_); }

void EasyTCPSocket::OutputDrained() {
  if (!output_held_ || !IsConnected()) return;
  output_held_ = false;
  UpdateReading();
  if (QueuedMessages() > 0 && !MarkedReady()) Loop().MarkReady(SelfAsPollable());
}

void EasyTCPSocket::AddEvent(int32_t command, std::string_view data) {
  MutableInbox().messages.push_back(Message{command, std::string(data)});
  if (!MarkedReady()) Loop().MarkReady(SelfAsPollable());
}

bool EasyTCPSocket::RetrieveEvent(int32_t* command, std::string* data) {
  if (QueuedMessages() == 0) return false;
  Message& message = mEvents->messages[mEvents->head++];
  *command = message.command;
  data->swap(message.data);
  if (mEvents->head == mEvents->messages.size()) {
    std::vector<Message>().swap(mEvents->messages);
    mEvents->head = 0;
    ReleaseIdleInbox();
  }
  return true;
}

bool EasyTCPSocket::WaitingForThisMessage(int32_t command, std::string_view) const {
  return WaitingForAMessage() && command == mEvents->mWaitForThisCommand;
}

void EasyTCPSocket::FireEvents() {
  int32_t command = 0;
  std::string data;
  if (!RetrieveEvent(&command, &data)) return;
  BeginReply();
  Metrics::Process().CountCommand(command);
  ReceivedMessage(command, data);
  EndReply();
}

void EasyTCPSocket::DeferReply() { reply_deferred_ = true; }

void EasyTCPSocket::SendDeferredReply(int32_t command, std::string framed) {
  if (!reply_deferred_ || !IsConnected()) return;
  reply_deferred_ = false;
  std::string header;
  PacketFramer::AppendHeader(header, command, framed.size() - PacketFramer::kHeaderSize);
  framed.replace(0, header.size(), header);
  BeginReply();
  WriteOwned(std::move(framed));
  EndReply();
  if (QueuedMessages() > 0 && !MarkedReady()) Loop().MarkReady(SelfAsPollable());
}

bool EasyTCPSocket::Poll() {
  // Messages still queued when the stream ended are never delivered.
  if (!IsConnected() || reply_deferred_) return false;
  if (PendingOutput() > kMaxPendingOutput) {
    // The peer is not reading what it asked for: answer nothing more (and
    // read nothing more) until it does; OutputDrained resumes.
    if (!output_held_) {
      output_held_ = true;
      UpdateReading();
    }
    return false;
  }
  FireEvents();
  if (paused_ && IsConnected()) ProcessData();
  return IsConnected() && !reply_deferred_ && QueuedMessages() > 0;
}

bool EasyTCPSocket::WaitForConnection(int64_t timeout) {
  if (!Listen()) {
    Error(LastErrorCode());
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  while (std::chrono::steady_clock::now() < deadline) {
    if (IsConnected()) return true;
    Loop().DoEvents(10);
  }
  return IsConnected();
}

std::string EasyTCPSocket::WaitForMessage(int32_t command, int64_t timeout) {
  if (!IsConnected()) return {};
  Inbox& inbox = MutableInbox();
  inbox.mWaitForThisCommand = command;
  inbox.mCommandResponse.clear();
  inbox.mWaitingForACommand = true;
  std::string response;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
  while (WaitingForAMessage() && std::chrono::steady_clock::now() < deadline) {
    TCPSocket::Poll();
    if (!IsConnected()) break;
    Loop().DoEvents(10);
  }
  if (mEvents) {
    if (!mEvents->mWaitingForACommand) response = std::move(mEvents->mCommandResponse);
    mEvents->mWaitingForACommand = false;
    std::string().swap(mEvents->mCommandResponse);
    ReleaseIdleInbox();
  }
  return response;
}

}  // namespace brelvint
