#include <ctime>

#include "client/ClientSocket.h"
#include "client/Payload.h"
#include "config/ServerNetworks.h"
#include "base/TextNumber.h"
#include "hub/BanStore.h"
#include "hub/MapSocket.h"

namespace brelvint {

namespace {

// A stored "YYYY-MM-DD HH:MM:SS" shown in the log's date and time forms.
std::string ShowBanDate(const std::string& stored) {
  std::tm when{};
  if (strptime(stored.c_str(), "%Y-%m-%d %H:%M:%S", &when) == nullptr) return stored;
  when.tm_isdst = -1;
  char date[64];
  char time[64];
  size_t date_length = std::strftime(date, sizeof date, "%x", &when);
  size_t time_length = std::strftime(time, sizeof time, "%X", &when);
  return std::string(date, date_length) + " " + std::string(time, time_length);
}

}  // namespace

void ClientSocket::Kick(const std::string& payload) {
  if (!isAdmin()) return;
  std::string name, reason;
  Payload::SplitTarget(payload, &name, &reason);
  myParent->KickUser(name, myNetwork->NetworkName, reason);
}

void ClientSocket::Ban(const std::string& payload) {
  if (!isAdmin()) return;
  std::string name, reason;
  Payload::SplitTarget(payload, &name, &reason);
  myParent->BanUser(*this, name, reason);
}

void ClientSocket::Broadcast(const std::string& payload) {
  if (isAdmin()) myParent->BroadcastMessage(payload, myNetwork->NetworkName);
}

void ClientSocket::ListBans() {
  if (!isAdmin()) return;
  std::vector<BanStore::Ban> rows;
  BanStore* bans = myParent->Bans();
  if (bans == nullptr || !bans->All(&rows)) {
    SendMessage(kBanListReply, "");
    return;
  }
  std::string text;
  for (const auto& row : rows) {
    text += std::to_string(row.id) + "|" + row.address + "|" + row.by + "|" + row.reason + "|" +
            ShowBanDate(row.bandate);
    text.push_back('\0');
  }
  SendMessage(kBanListReply, text);
}

void ClientSocket::Unban(const std::string& payload) {
  if (!isAdmin() || !TextNumber::IsNumeric(payload)) return;
  // Only the number itself reaches the statement, bound as an integer;
  // a fraction names no row.
  double number = TextNumber::LeadingReal(payload);
  int64_t id = TextNumber::Leading(payload);
  if (static_cast<double>(id) != number) return;
  if (BanStore* bans = myParent->Bans()) bans->Delete(id);
}

}  // namespace brelvint
