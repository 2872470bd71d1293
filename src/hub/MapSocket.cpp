#include "hub/MapSocket.h"

#include <algorithm>
#include <charconv>

#include "base/LogMessage.h"
#include "base/Metrics.h"
#include "base/TextCase.h"
#include "config/ServerNetworks.h"
#include "hub/BanStore.h"
#include "protocol/OutputQueue.h"
#include "protocol/PacketFramer.h"

namespace brelvint {

namespace {

const std::vector<MapMember*> kNoMembers;

void AppendNumber(std::string& out, int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

bool BySequence(const MapMember* a, const MapMember* b) { return a->Sequence() < b->Sequence(); }

// "; by <who>" after a kick's or ban's line when it came from outside the
// network (an operator), so the log names who acted; empty for a member.
std::string ByWhom(const std::string& by) { return by.empty() ? std::string() : "; by " + by; }

}  // namespace

MapSocket::MapSocket(EventLoop& loop, std::vector<std::unique_ptr<ServerNetworks>>& networks,
                     BanStore* bans, PasswordGuard& guard, MemberFactory factory)
    : ServerSocket(loop),
      all_networks_(networks),
      bans_(bans),
      guard_(guard),
      factory_(std::move(factory)),
      login_sweep_(loop.Context()) {
  SendBufferBytes = kPlayerSendBufferBytes;
  DescriptorReserve = kReservedDescriptors;
  ScheduleLoginSweep();
}

MapSocket::~MapSocket() = default;

std::shared_ptr<TCPSocket> MapSocket::AddSocket() { return factory_(Loop(), *this); }

void MapSocket::Error(int64_t code) { StatusMessage("Server Error: " + std::to_string(code)); }

void MapSocket::Listening(const std::string& endpoints) {
  StatusMessage("Listening on " + endpoints + " for " + NetworkNames());
}

void MapSocket::ListenFailed(const std::string& endpoint, int64_t code, const std::string& reason) {
  std::string where = endpoint.empty() ? Endpoints(Port) : endpoint;
  StatusMessage("Server Error: " + std::to_string(code) + " (" + reason + ") on " + where +
                " for " + NetworkNames());
}

std::string MapSocket::NetworkNames() const {
  std::string names;
  for (const ServerNetworks* network : Networks) {
    if (!names.empty()) names += ", ";
    names += modGlobal::EscapeForLog(network->NetworkName);
  }
  return names;
}

void MapSocket::StatusMessage(std::string_view text) { modGlobal::LogMessage(text); }

void MapSocket::CallUserLoggedIn(MapMember& client) {
  if (UserLoggedIn) UserLoggedIn(client);
}

void MapSocket::CallUserLoggedOut(MapMember& client) {
  if (UserLoggedOut) UserLoggedOut(client);
}

ServerNetworks* MapSocket::FindNetwork(std::string_view name) const {
  return ServerNetworks::Named(all_networks_, name);
}

std::vector<std::shared_ptr<MapMember>> MapSocket::Connections() const {
  std::vector<std::shared_ptr<MapMember>> snapshot;
  for (auto& socket : ActiveConnections()) {
    snapshot.push_back(std::static_pointer_cast<MapMember>(socket));
  }
  return snapshot;
}

// Membership index.

void MapSocket::AddMember(MapMember& client) {
  Settle(client);
  RemoveMember(client);
  auto& members = members_[client.myNetwork];
  members.insert(std::upper_bound(members.begin(), members.end(), &client, BySequence), &client);
  member_names_.Insert(&client);
}

void MapSocket::RemoveMember(MapMember& client) {
  member_names_.Erase(client);
  // A member's network does not change while it is a member.
  auto it = members_.find(client.myNetwork);
  if (it == members_.end()) return;
  auto& members = it->second;
  auto found = std::lower_bound(members.begin(), members.end(), &client, BySequence);
  if (found == members.end() || *found != &client) return;
  members.erase(found);
  if (members.empty()) members_.erase(it);
}

const std::vector<MapMember*>& MapSocket::Members(const ServerNetworks* network) const {
  auto it = members_.find(network);
  return it == members_.end() ? kNoMembers : it->second;
}

MapMember* MapSocket::MemberNamed(std::string_view name) const { return member_names_.Find(name); }

std::vector<MapMember*> MapSocket::MembersOfNetworksNamed(std::string_view name) const {
  bool all = TextCase::Equal(name, kAllNetworks);
  std::vector<MapMember*> recipients;
  size_t networks_matched = 0;
  for (const auto& [network, members] : members_) {
    if (!all && !TextCase::Equal(network->NetworkName, name)) continue;
    ++networks_matched;
    recipients.insert(recipients.end(), members.begin(), members.end());
  }
  if (networks_matched > 1) std::sort(recipients.begin(), recipients.end(), BySequence);
  return recipients;
}

void MapSocket::ConnectionReleased(TCPSocket& socket) {
  Settle(static_cast<MapMember&>(socket));
  RemoveMember(static_cast<MapMember&>(socket));
}

// Connections that have not logged in.

bool MapSocket::Admit(const std::string& address) { return strangers_->MayOpen(address); }

void MapSocket::Admitted(TCPSocket& socket, const std::string& address) {
  auto& client = static_cast<MapMember&>(socket);
  strangers_->Opened(address);
  strangers_by_age_[client.Sequence()] = Stranger{&client, address};
}

void MapSocket::Settle(const MapMember& client) {
  auto found = strangers_by_age_.find(client.Sequence());
  if (found == strangers_by_age_.end() || found->second.client != &client) return;
  strangers_->Settled(found->second.address);
  strangers_by_age_.erase(found);
}

bool MapSocket::MakeRoom() {
  // A member is never ended for a newcomer: once a listener is full of
  // members, a newcomer is refused.
  for (auto& [sequence, stranger] : strangers_by_age_) {
    MapMember& client = *stranger.client;
    if (!client.IsConnected()) continue;  // ended already, released at the end of the pass
    ++Metrics::Process().strangers_evicted;
    client.Close();
    return true;
  }
  return false;
}

// Relay.

void MapSocket::AppendPositionRecord(const MapMember& member, std::string& out) {
  out.append(member.Username);
  out.push_back('|');
  AppendNumber(out, member.X);
  out.push_back(',');
  AppendNumber(out, member.Y);
  out.push_back(',');
  AppendNumber(out, member.Facet);
  out.push_back(',');
  AppendNumber(out, member.HP);
  out.append(member.InBattle ? ",1" : ",0");
  out.append(member.IsDead ? ",1" : ",0");
}

void MapSocket::BroadcastPosition(MapMember& sender) {
  const auto& members = Members(sender.myNetwork);
  if (members.size() < 2) return;
  // One packet, built once and shared by every recipient's output.
  record_.clear();
  AppendPositionRecord(sender, record_);
  packet_.clear();
  PacketFramer::AppendHeader(packet_, MapMember::kPositionRecord, record_.size());
  packet_.append(record_);
  OutputQueue::Slice shared = OutputQueue::Share(packet_);
  for (MapMember* member : members) {
    if (member != &sender) member->WriteRelayed(shared);
  }
  Metrics::Process().deliveries += members.size() - 1;
}

void MapSocket::SendChatMessage(ServerNetworks* network, MapMember& sender, std::string_view text) {
  if (network == nullptr || text.empty()) return;
  packet_.clear();
  PacketFramer::AppendHeader(packet_, MapMember::kChatLine,
                             sender.Username.size() + 1 + text.size());
  packet_.append(sender.Username);
  packet_.push_back('\0');
  packet_.append(text);
  OutputQueue::Slice shared = OutputQueue::Share(packet_);
  for (MapMember* member : Members(network)) {
    if (member != &sender) member->WriteRelayed(shared);
  }
  Metrics::Process().deliveries += Members(network).size() - (sender.IsMember() ? 1 : 0);
}

size_t MapSocket::BroadcastMessage(std::string_view text, std::string_view networkName) {
  if (text.empty()) return 0;
  std::string packet = PacketFramer::CreatePacket(MapMember::kNotice, text);
  std::vector<MapMember*> recipients = MembersOfNetworksNamed(networkName);
  OutputQueue::Slice shared = OutputQueue::Share(packet);
  for (MapMember* member : recipients) member->WriteRelayed(shared);
  return recipients.size();
}

// Moderation.

bool MapSocket::KickUser(const std::string& userName, const std::string& networkName,
                         const std::string& reason, const std::string& by) {
  MapMember* target = MemberNamed(userName);
  if (target == nullptr || !TextCase::Equal(target->myNetwork->NetworkName, networkName)) {
    return false;
  }
  target->SendMessage(MapMember::kKicked, reason);
  ++Metrics::Process().kicks;
  StatusMessage(modGlobal::EscapeForLog(target->Username) + "on network " +
                target->myNetwork->NetworkName + " Kicked: " + modGlobal::EscapeForLog(reason) +
                ByWhom(by));
  Expel(*target);
  return true;
}

void MapSocket::Expel(MapMember& target) {
  // The target is out at once, whether or not it reads what it was told:
  // a kick that leaves it listed, named and counted would be a success in
  // name only. Its connection follows when the notice is flushed.
  ClientDisconnect(target);
  target.GiveBackPlace();
  target.CloseWhenFlushed(ECONNABORTED);
}

void MapSocket::BanUser(MapMember& admin, const std::string& userName, const std::string& reason) {
  if (admin.myNetwork == nullptr) return;
  BanMember(userName, admin.myNetwork->NetworkName, reason, admin.Username, std::string(), 0);
}

bool MapSocket::BanUser(const std::string& userName, const std::string& networkName,
                        const std::string& reason, const std::string& by, int64_t minutes) {
  return BanMember(userName, networkName, reason, by, by, minutes);
}

bool MapSocket::BanMember(const std::string& userName, const std::string& networkName,
                          const std::string& reason, const std::string& by,
                          const std::string& logged_by, int64_t minutes) {
  MapMember* target = MemberNamed(userName);
  if (target == nullptr || !TextCase::Equal(target->myNetwork->NetworkName, networkName)) {
    return false;
  }
  target->SendMessage(MapMember::kBanned, reason);
  ++Metrics::Process().bans;
  StatusMessage(modGlobal::EscapeForLog(target->Username) + "on network " +
                target->myNetwork->NetworkName + " Banned" +
                (minutes > 0 ? " for " + std::to_string(minutes) + " minutes" : std::string()) +
                ": " + modGlobal::EscapeForLog(reason) + ByWhom(logged_by));
  if (bans_ != nullptr) {
    // Holds at once; the row is written off the loop, and retried while an
    // operator's sqlite3 session holds the database.
    BanStore::Ban ban;
    ban.address = target->RemoteAddress();
    ban.name = target->Username;
    ban.by = by;
    ban.reason = reason;
    ban.network = target->myNetwork->NetworkName;
    if (minutes > 0) ban.expires = bans_->Now() + minutes * 60;
    bans_->Record(std::move(ban), Loop().Context());
  }
  Expel(*target);
  return true;
}

void MapSocket::LiftBan(MapMember& admin, int64_t id) {
  if (admin.myNetwork == nullptr || bans_ == nullptr) return;
  const std::string& network = admin.myNetwork->NetworkName;
  std::string error;
  // A ban not yet written (an operator's session holding the database) is
  // lifted as well, from memory and from the writer's queue.
  auto lifted = bans_->Lift(id, network, &error);
  if (!error.empty()) {
    StatusMessage("Error lifting ban " + std::to_string(id) + ": " + error);
    return;
  }
  if (!lifted) return;
  // The one record of who let an address back in.
  StatusMessage(BanStore::LiftLine(*lifted, modGlobal::EscapeForLog(admin.Username), network));
}

void MapSocket::ClientDisconnect(MapMember& leaver) {
  if (!leaver.IsMember()) return;
  RemoveMember(leaver);
  // The notices wait for the end of the pass: when thousands leave at once
  // (a dropped link), most of the members they would go to are leaving in
  // the same pass, and telling each of them about every other would cost
  // the square of their number.
  if (departures_.empty()) {
    Loop().AtPassEnd([alive = std::weak_ptr<bool>(alive_), this] {
      if (alive.lock()) SendLeaveNotices();
    });
  }
  departures_.push_back({leaver.myNetwork, leaver.Username});
}

void MapSocket::SendLeaveNotices() {
  std::vector<Departure> departures;
  departures.swap(departures_);
  // Grouped by network, in leaving order, so each member gets one batch.
  std::stable_sort(departures.begin(), departures.end(),
                   [](const Departure& a, const Departure& b) { return a.network < b.network; });
  std::string packets;
  for (size_t first = 0; first < departures.size();) {
    ServerNetworks* network = departures[first].network;
    packets.clear();
    size_t end = first;
    for (; end < departures.size() && departures[end].network == network; ++end) {
      PacketFramer::AppendHeader(packets, MapMember::kLeft, departures[end].name.size());
      packets.append(departures[end].name);
    }
    // One copy of the batch, shared by every member's output: a mass
    // leave would otherwise queue a copy of it to each.
    OutputQueue::Slice shared = OutputQueue::Share(packets);
    for (MapMember* member : Members(network)) {
      if (member->IsConnected() && !member->Closing()) member->WriteRelayed(shared);
    }
    first = end;
  }
}

void MapSocket::DisconnectAllClientsOnNetwork(ServerNetworks& network) {
  auto snapshot = Connections();
  for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
    MapMember& connection = **it;
    if (connection.myNetwork != &network || connection.Closing()) continue;
    connection.SendMessage(MapMember::kBye, MapMember::kByeText);
    Expel(connection);
  }
}

void MapSocket::RemoveNetwork(ServerNetworks& network) {
  auto served = std::find(Networks.begin(), Networks.end(), &network);
  if (served == Networks.end()) return;
  Networks.erase(served);
  EndNetwork(network);
}

void MapSocket::EndNetwork(ServerNetworks& network) {
  OutputQueue::Slice notice =
      OutputQueue::Share(PacketFramer::CreatePacket(MapMember::kNotice, kNetworkRemovedNotice));
  for (MapMember* member : Members(&network)) member->WriteRelayed(notice);
  DisconnectAllClientsOnNetwork(network);
}

bool MapSocket::IsBanned(const std::string& address, const ServerNetworks* network,
                         std::string_view name) const {
  if (network == nullptr) {
    if (bans_ == nullptr) return false;
    for (const std::string& banning : bans_->NetworksBanning(address)) {
      for (const auto& served : all_networks_) {
        if (served->Port == Port && TextCase::Equal(served->NetworkName, banning)) return true;
      }
    }
    return false;
  }
  // BanStore::IsBanned looks at its pending bans before its table.
  if (bans_ != nullptr && bans_->IsBanned(address, network->NetworkName)) return true;
  if (name.empty()) return false;
  const MapperUser* user = network->FindUser(name, address);
  return user != nullptr && user->IsBanned;
}

// Connections that never finish their login would otherwise hold a
// descriptor forever.

void MapSocket::ScheduleLoginSweep() {
  // Checking a few times per timeout keeps the overrun small; no timer per
  // connection is needed.
  login_sweep_.expires_after(
      std::min<std::chrono::milliseconds>(std::chrono::seconds(5), login_timeout_ / 4));
  // A sweep that fell due in the pass that freed the listener still runs.
  login_sweep_.async_wait(
      [this, alive = std::weak_ptr<bool>(alive_)](const boost::system::error_code& ec) {
        if (ec || alive.expired()) return;
        EndStaleLogins();
        guard_.ForgetOldGuesses();
        strangers_->Sweep();
        ScheduleLoginSweep();
      });
}

void MapSocket::SetLoginTimeout(std::chrono::milliseconds timeout) {
  login_timeout_ = timeout;
  login_sweep_.cancel();
  ScheduleLoginSweep();
}

void MapSocket::EndStaleLogins() {
  auto deadline = std::chrono::steady_clock::now() - login_timeout_;
  for (auto& client : Connections()) {
    if (client->IsMember() || !client->IsConnected()) continue;
    if (client->OutsideSince() <= deadline) client->CloseWhenFlushed(ETIMEDOUT);
  }
}

}  // namespace brelvint
