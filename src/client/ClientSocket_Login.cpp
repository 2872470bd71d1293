#include <algorithm>

#include "base/LogMessage.h"
#include "base/Metrics.h"
#include "base/TextUtf8.h"
#include "client/ClientSocket.h"
#include "client/MD5.h"
#include "config/ServerNetworks.h"
#include "hub/MapSocket.h"

namespace brelvint {

namespace {

// Names travel inside position records ("name|x,y,...") and the network
// file, so anything that would break either is refused; so are control
// characters of every kind (C0, DEL and C1), which no player types and
// which would garble the map tools' lists and the operator's terminal, and
// the invisible format characters and line separators, with which one
// name passes for another on every member's list.
bool IsAcceptableUserName(std::string_view name) {
  if (name.empty() || name.size() > ClientSocket::kMaxUserNameBytes) return false;
  for (size_t i = 0; i < name.size();) {
    size_t length = TextUtf8::SequenceLength(name, i);
    if (length == 0) return false;
    char32_t code = TextUtf8::CodePoint(name, i, length);
    if (code < 0x20 || code == '|' || (code >= 0x7F && code <= 0x9F)) return false;
    if (TextUtf8::IsHiddenFormat(code)) return false;
    i += length;
  }
  return true;
}

}  // namespace

void ClientSocket::EndLoginAttempt(Metrics::LoginResult result) {
  if (!LoginAttemptOpen()) return;  // already counted, or never begun
  SetLoginAttemptOpen(false);
  Metrics::Process().CountLogin(result);
}

void ClientSocket::SelectNetwork(const std::string& name) {
  LeaveNetwork();  // a new selection starts the login over
  myNetwork = myParent->FindNetwork(name);
  // Every answered selection begins an attempt; one left unfinished by a
  // new selection was never decided and is not counted.
  SetLoginAttemptOpen(true);
  if (myNetwork != nullptr && myParent->IsBanned(RemoteAddress(), myNetwork)) {
    SendMessage(kNetworkReply, kFail);
    EndLoginAttempt(Metrics::LoginResult::kBanned);
    LogLoginStep(RemoteAddress() + ": Client Previously Banned.");
    return;
  }
  if (myNetwork != nullptr && myNetwork->Enabled && myNetwork->CurrentUsers < myNetwork->MaxUsers) {
    NoteValidStep();
    SendMessage(kNetworkReply, kOK);
    TakePlace();
    SetLoginStage(Stage::kSelected);
    return;
  }
  SendMessage(kNetworkReply, kFail);
  EndLoginAttempt(Metrics::LoginResult::kNetworkRefused);
  LogLoginStep(RemoteAddress() + ": Network Fail (" + modGlobal::EscapeForLog(name) + ")");
}

void ClientSocket::CheckPassword(const std::string& digest) {
  if (LoginStage() == Stage::kNone || myNetwork == nullptr) {
    SendMessage(kPasswordReply, kFail);
    LogLoginStep(RemoteAddress() + ": Login Failed.");
    return;
  }
  if (myParent->Guard().PasswordGuessingBlocked(RemoteAddress())) {
    SendMessage(kPasswordReply, kFail);
    EndLoginAttempt(Metrics::LoginResult::kBlocked);
    LeaveNetwork();
    return;
  }
  if (digest == MD5::Digest(myNetwork->Password)) {
    SendMessage(kPasswordReply, kOK);
    if (LoginStage() == Stage::kSelected) SetLoginStage(Stage::kPasswordAccepted);
    return;
  }
  SendMessage(kPasswordReply, kFail);
  EndLoginAttempt(Metrics::LoginResult::kBadPassword);
  LogLoginStep(RemoteAddress() + ": Login Failed.");
  myParent->Guard().RecordRefusedPassword(RemoteAddress());
  LeaveNetwork();
}

void ClientSocket::TakeUserName(const std::string& name) {
  bool password_accepted = LoginStage() == Stage::kPasswordAccepted || IsMember();
  if (!password_accepted || !IsAcceptableUserName(name) || !CanLogin(name)) {
    RefuseUserName(name);
    return;
  }
  if (myParent->IsBanned(RemoteAddress(), myNetwork, name)) {
    SendMessage(kUserNameReply, kFail);
    EndLoginAttempt(Metrics::LoginResult::kBanned);
    LogLoginStep(RemoteAddress() + ": Client Previously Banned.");
    LeaveNetwork();
    return;
  }
  MapperUser* user = getNetworkUser(name, RemoteAddress());
  // A new name past the network's registered names is refused as a full
  // network is; every name the file already holds still logs in. (The
  // network logs the refusals, once a minute.) So is a second new name on
  // one connection, and a new name from an address that enrolled its share
  // this hour: renaming again and again would otherwise fill the network's
  // names and shut every new player out.
  bool new_name = !myNetwork->KnowsName(name);
  if (new_name && enrolled_) {
    ++myNetwork->EnrolmentsRefused;
    SendMessage(kUserNameReply, kFail);
    EndLoginAttempt(Metrics::LoginResult::kNameRefused);
    LogLoginStep(RemoteAddress() + kSecondEnrolment + modGlobal::EscapeForLog(name) + ")");
    LeaveNetwork();
    return;
  }
  if (!myNetwork->MayEnrol(name, myParent->MaxRegisteredUsers) ||
      (new_name && !myParent->Strangers().MayEnrol(RemoteAddress()))) {
    ++myNetwork->EnrolmentsRefused;
    SendMessage(kUserNameReply, kFail);
    EndLoginAttempt(Metrics::LoginResult::kNetworkRefused);
    LeaveNetwork();
    return;
  }
  if (new_name) enrolled_ = true;
  std::string logged_in =
      RemoteAddress() + ": User Logged In (" + modGlobal::EscapeForLog(name) + ")";
  // Logging in again and again on one connection, under new names or not,
  // is the same flood as a refused step repeated: only the first login of a
  // connection is logged outside its budget.
  if (logged_in_once_) {
    LogLoginStep(logged_in);
  } else {
    Log(logged_in);
  }
  logged_in_once_ = true;
  // The member index is keyed by Username: leave it before the name changes.
  if (IsMember()) myParent->RemoveMember(*this);
  Username = name;
  myUser = user;
  SetLoginStage(Stage::kMember);
  EndLoginAttempt(Metrics::LoginResult::kOk);
  myParent->AddMember(*this);
  myParent->CallUserLoggedIn(*this);
  // The records take the login at once; the file follows in the
  // background (the logins of a pass are handed to the writer together at
  // its end), so the reply never waits for a disk.
  myNetwork->AddUserToNetwork(Username, RemoteAddress());
  SendMessage(kUserNameReply, kOK);
}

void ClientSocket::RefuseUserName(const std::string& name) {
  SendMessage(kUserNameReply, kFail);
  EndLoginAttempt(Metrics::LoginResult::kNameRefused);
  LogLoginStep(RemoteAddress() + ": Bad Username (" + modGlobal::EscapeForLog(name) + ")");
  LeaveNetwork();
}

void ClientSocket::LeaveNetwork() {
  if (IsMember()) myParent->RemoveMember(*this);
  GiveBackPlace();
}

bool ClientSocket::CanLogin(std::string_view name) const {
  MapMember* holder = myParent->MemberNamed(name);
  return holder == nullptr || holder == this;
}

MapperUser* ClientSocket::getNetworkUser(std::string_view name, std::string_view address) const {
  return myNetwork == nullptr ? nullptr : myNetwork->FindUser(name, address);
}

bool ClientSocket::isAdmin() const {
  if (!IsMember() || myNetwork == nullptr || myUser == nullptr) return false;
  const auto& admins = myNetwork->Admins;
  return std::any_of(admins.begin(), admins.end(),
                     [this](const MapperUser* admin) { return admin == myUser; });
}

void ClientSocket::RecheckUser(bool was_admin) {
  if (myUser == nullptr || myNetwork == nullptr) return;
  myUser = getNetworkUser(Username, RemoteAddress());
  if (!was_admin && isAdmin()) myUser = nullptr;
}

bool ClientSocket::isBanned() const {
  return myParent->IsBanned(RemoteAddress(), myNetwork, IsMember() ? Username : std::string());
}

}  // namespace brelvint
