#include "client/ClientSocket.h"

#include "base/LogMessage.h"
#include "client/Payload.h"
#include "config/ServerNetworks.h"
#include "hub/MapSocket.h"

namespace brelvint {

ClientSocket::ClientSocket(EventLoop& loop, MapSocket* parent,
                           const LookupServices& lookup_services)
    : MapMember(loop), myParent(parent), lookup_services_(lookup_services) {}

ClientSocket::~ClientSocket() = default;

void ClientSocket::Log(std::string_view text) const { myParent->CallStatusMessage(text); }

void ClientSocket::LogLoginStep(std::string_view text) {
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
  Log(RemoteAddress() + ": Client Connection Initiated...");
  GetClientInfo();
}

void ClientSocket::Greet() {
  if (!IsConnected()) return;
  if (myParent->IsBanned(RemoteAddress(), nullptr)) {
    SendMessage(kBanned, kBannedGreeting);
    Log(RemoteAddress() + ": Client Previously Banned.");
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
  modGlobal::LogMessage("Client Disconnect: (" + std::to_string(code) + ") " +
                        modGlobal::EscapeForLog(Username));
  if (!Username.empty()) myParent->CallUserLoggedOut(*this);
  myParent->ClientDisconnect(*this);
  LeaveNetwork();
  Close();
}

void ClientSocket::ReceivedMessage(int32_t command, const std::string& data) {
  // A kicked, banned or timed-out connection only waits for its last words
  // to leave; it must not log in again meanwhile.
  if (Closing()) return;
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
