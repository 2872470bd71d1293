#include <ctime>
#include <memory>
#include <optional>

#include "base/LogMessage.h"
#include "base/TextNumber.h"
#include "client/ClientSocket.h"
#include "client/Payload.h"
#include "config/ServerNetworks.h"
#include "hub/BanStore.h"
#include "hub/MapSocket.h"
#include "protocol/PacketFramer.h"

namespace brelvint {

namespace {

constexpr const char kBanEnds[] = " (ends ";
constexpr const char kBanEnded[] = " (ended ";

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

// A timed ban's end in the log's date and time forms, after its reason:
// the entry keeps its five fields, so map tools read it as before.
std::string ShowBanEnd(const BanStore::Ban& row) {
  std::time_t end = static_cast<std::time_t>(*row.expires);
  std::tm when{};
  localtime_r(&end, &when);
  char date[64];
  char time[64];
  size_t date_length = std::strftime(date, sizeof date, "%x", &when);
  size_t time_length = std::strftime(time, sizeof time, "%X", &when);
  bool over = row.Expired(static_cast<int64_t>(std::time(nullptr)));
  return std::string(over ? kBanEnded : kBanEnds) + std::string(date, date_length) + " " +
         std::string(time, time_length) + ")";
}

// One entry of the ban list: "id|address|by|reason|date time" and a NUL; a
// ban not yet written says so after its reason, and so does a timed ban's
// end. Runs on the ban store's reader thread.
void AppendBanEntry(const BanStore::Ban& row, std::string& out) {
  out += std::to_string(row.id);
  out += '|';
  out += row.address;
  out += '|';
  out += row.by;
  out += '|';
  out += row.reason;
  if (row.expires) out += ShowBanEnd(row);
  if (!row.stored) out += BanStore::kNotYetStored;
  out += '|';
  out += ShowBanDate(row.bandate);
  out.push_back('\0');
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
  BanStore* bans = myParent->Bans();
  if (bans == nullptr) {
    SendMessage(kBanListReply, "");
    return;
  }
  // A list of many thousand rows is read and formatted off the loop; this
  // connection's next requests wait for it, everyone else's do not.
  DeferReply();
  std::weak_ptr<TCPSocket> weak = weak_from_this();
  bans->ListNetwork(
      myNetwork->NetworkName, PacketFramer::kHeaderSize, AppendBanEntry, Loop().Context(),
      [weak, network = myNetwork->NetworkName](std::optional<std::string> text, std::string error) {
        auto self = weak.lock();
        if (!self) return;
        auto& client = static_cast<ClientSocket&>(*self);
        if (!text) {
          // An empty list would tell the administrator there are no bans.
          client.Log(std::string(kBanListUnreadableLog) + modGlobal::EscapeForLog(network) + ": " +
                     error);
          client.SendDeferredReply(
              kNotice, std::string(PacketFramer::kHeaderSize, '\0') + kBanListUnreadable);
          return;
        }
        client.SendDeferredReply(kBanListReply, std::move(*text));
      });
}

void ClientSocket::Unban(const std::string& payload) {
  if (!isAdmin() || !TextNumber::IsNumeric(payload)) return;
  // Only the number itself reaches the statement, bound as an integer;
  // a fraction names no row.
  double number = TextNumber::LeadingReal(payload);
  int64_t id = TextNumber::Leading(payload);
  if (static_cast<double>(id) != number) return;
  myParent->LiftBan(*this, id);
}

}  // namespace brelvint
