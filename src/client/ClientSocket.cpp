#include "client/ClientSocket.h"

#include <algorithm>

#include "base/LogMessage.h"
#include "client/Payload.h"
#include "config/ServerNetworks.h"
#include "hub/MapSocket.h"
#include "protocol/PacketFramer.h"

namespace brelvint {

ClientSocket::ClientSocket(EventLoop& loop, MapSocket* parent,
                           const LookupServices& lookup_services)
    : MapMember(loop), myParent(parent), lookup_services_(lookup_services) {}

ClientSocket::~ClientSocket() = default;

void ClientSocket::Log(std::string_view text) const { myParent->CallStatusMessage(text); }

void ClientSocket::LogLoginStep(std::string_view text) {
  if (!KnownToLog()) {
    if (myParent->Strangers().TakeLine(RemoteAddress())) Log(text);
    return;
  }
  switch (login_lines_.Take()) {
    case LogBudget::Verdict::kLog:
      Log(text);
      break;
    case LogBudget::Verdict::kFirstSuppressed:
      Log(RemoteAddress() + kRefusalsSuppressed);
      break;
    case LogBudget::Verdict::kSuppressed:
      break;
  }
}

void ClientSocket::Connected() {
  MapMember::Connected();
  // A client that connects and leaves again and again must not write two
  // lines each time: past its address's budget, its lines are only counted
  // (and summed up once a minute) until it takes a valid login step.
  opening_logged_ = myParent->Strangers().TakeLine(RemoteAddress());
  if (opening_logged_) Log(RemoteAddress() + kConnectionInitiated);
  GetClientInfo();
}

void ClientSocket::NoteValidStep() {
  if (valid_step_) return;
  valid_step_ = true;
  if (!opening_logged_) {
    opening_logged_ = true;
    Log(RemoteAddress() + kConnectionInitiated);
  }
}

bool ClientSocket::WithinStrangerAllowance(const std::string& data) {
  stranger_bytes_ += static_cast<uint32_t>(std::min<size_t>(data.size(), kStrangerBytes) +
                                           PacketFramer::kHeaderSize);
  ++stranger_messages_;
  if (stranger_bytes_ <= kStrangerBytes && stranger_messages_ <= kStrangerMessages) return true;
  ++Metrics::Process().stranger_overruns;
  // One line for the whole end, within the address's budget.
  quiet_end_ = true;
  if (myParent->Strangers().TakeLine(RemoteAddress())) Log(RemoteAddress() + kStrangerOverrun);
  Close();
  return false;
}

void ClientSocket::Greet() {
  if (!IsConnected()) return;
  if (myParent->IsBanned(RemoteAddress(), nullptr)) {
    SendMessage(kBanned, kBannedGreeting);
    LogLoginStep(RemoteAddress() + ": Client Previously Banned.");
    CloseWhenFlushed(ECONNREFUSED);
    return;
  }
  SendMessage(kGreeting, kGreetingText);
}

void ClientSocket::Error(int64_t code) {
  MapMember::Error(code);
  CancelLookup();
  if (login_lines_.Suppressed() > 0) {
    Log(RemoteAddress() + ": " + std::to_string(login_lines_.Suppressed()) + kRefusalsNotLogged);
  }
  // A connection whose opening was left out leaves quietly too, unless it
  // took a valid step (which logged its opening after all).
  if (opening_logged_ && !quiet_end_) {
    modGlobal::LogMessage("Client Disconnect: (" + std::to_string(code) + ") " +
                          modGlobal::EscapeForLog(Username));
  } else if (!quiet_end_) {
    myParent->Strangers().TakeLine(RemoteAddress());  // counted in its address's summary
  }
  if (!Username.empty()) myParent->CallUserLoggedOut(*this);
  myParent->ClientDisconnect(*this);
  LeaveNetwork();
  Close();
}

void ClientSocket::ReceivedMessage(int32_t command, const std::string& data) {
  // A kicked, banned or timed-out connection only waits for its last words
  // to leave; it must not log in again meanwhile.
  if (Closing()) return;
  if (!logged_in_once_ && !WithinStrangerAllowance(data)) return;
  switch (command) {
    case kSelectNetwork:
      SelectNetwork(data);
      break;
    case kPassword:
      CheckPassword(data);
      break;
    case kUserName:
      TakeUserName(data);
      break;
    case kPosition:
      if (IsMember()) ReportPosition(data);
      break;
    case kUserList:
      if (IsMember()) ListUsers();
      break;
    case kChat:
      if (IsMember()) myParent->SendChatMessage(myNetwork, *this, data);
      break;
    case kAdminQuery:
      SendMessage(kAdminReply, isAdmin() ? "1" : "0");
      break;
    case kKick:
      Kick(data);
      break;
    case kBan:
      Ban(data);
      break;
    case kBroadcast:
      Broadcast(data);
      break;
    case kBanList:
      ListBans();
      break;
    case kUnban:
      Unban(data);
      break;
    case kGoodbye:
      SendMessage(kBye, kByeText);
      break;
    default:
      break;
  }
}

void ClientSocket::ReportPosition(const std::string& payload) {
  Payload::Position position = Payload::ParsePosition(payload);
  X = position.X;
  Y = position.Y;
  Facet = position.Facet;
  HP = position.HP;
  InBattle = position.InBattle;
  IsDead = position.IsDead;
  if (X >= 0 && Y >= 0 && Facet >= 0 && HP >= 0) myParent->BroadcastPosition(*this);
}

void ClientSocket::ListUsers() {
  std::string record;
  for (MapMember* member : myParent->Members(myNetwork)) {
    if (member == this || member->Username.empty()) continue;
    record.clear();
    MapSocket::AppendPositionRecord(*member, record);
    SendMessage(kPositionRecord, record);
  }
}

}  // namespace brelvint
