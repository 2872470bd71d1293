#pragma once

#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/TextCase.h"
#include "config/ServerNetworks.h"
#include "hub/MapMember.h"
#include "hub/MemberNameIndex.h"
#include "hub/PasswordGuard.h"
#include "hub/StrangerGuard.h"
#include "protocol/Asio.h"
#include "protocol/ServerSocket.h"

namespace brelvint {

class BanStore;

// The listener of one network and the hub through which its connections
// reach each other: relays, notices, kicks, bans and disconnect notices.
// It owns the connections it accepts (ServerSocket), which it makes through
// the factory it is given and knows only as MapMembers; the network records
// and the ban store belong to App and must outlive it.
//
// Fan-out goes through an index of *members* (connections that completed
// the login on a network) per network record, so a relay costs time in
// proportion to that network's members, not to every connection of the
// listener. Relays reach only connections accepted by this listener.
class MapSocket : public ServerSocket {
 public:
  static constexpr const char kAllNetworks[] = "(All Networks)";
  static constexpr const char kNetworkRemovedNotice[] =
      "This network has been removed from the server.";
  // A connection that has not completed its login this long after it
  // connected is ended; map tools log in within a second of the greeting.
  static constexpr int kLoginTimeoutSeconds = 120;
  // The kernel send buffer of each player's socket (SendBufferBytes; Linux
  // keeps twice this). With the server's own kMaxPendingOutput, what one
  // member that stops reading costs the host stays near 1.25 MiB instead of
  // the 4 MiB the kernel's autotuning would let it grow to; a member that
  // reads is still sent ahead by far more than a relay burst.
  static constexpr int kPlayerSendBufferBytes = 128 * 1024;
  // Descriptors kept for the log, the files, the database and the
  // operators' endpoint (DescriptorReserve): 64 endpoint connections and a
  // margin. Near the limit the oldest connection that has not logged in
  // makes room for a newcomer.
  static constexpr int kReservedDescriptors = 128;

  // Makes the connection object for each accepted stream.
  using MemberFactory = std::function<std::shared_ptr<MapMember>(EventLoop&, MapSocket&)>;

  // `networks` is the service's list of loaded networks (searched by name);
  // `bans` may be null when no ban store is open; `guard` counts refused
  // passwords for every listener of the process. All three must outlive
  // the listener.
  MapSocket(EventLoop& loop, std::vector<std::unique_ptr<ServerNetworks>>& networks, BanStore* bans,
            PasswordGuard& guard, MemberFactory factory);
  ~MapSocket() override;

  // Networks this listener may take off the air (RemoveNetwork).
  std::vector<ServerNetworks*> Networks;
  // Registered names a network takes at most through this listener's
  // logins ("MaxRegisteredUsers"; see ServerNetworks::MayEnrol).
  int64_t MaxRegisteredUsers = ServerNetworks::kDefaultMaxRegisteredUsers;

  // How long a connection may take to complete its login (default
  // kLoginTimeoutSeconds); tests shorten it.
  void SetLoginTimeout(std::chrono::milliseconds timeout);

  // Hooks any user of a listener may attach.
  std::function<void(MapMember&)> UserLoggedIn;
  std::function<void(MapMember&)> UserLoggedOut;

  // Appends `member`'s position record ("name|X,Y,Facet,HP,b,d").
  static void AppendPositionRecord(const MapMember& member, std::string& out);

  // Unless said otherwise, an operation ends no connection, writes no ban
  // and logs nothing.

  // The member named `userName` on admin's network gets 997 with `reason`
  // and is ended once that is flushed; the address is recorded in the ban
  // store. Ends a connection, writes the ban store, logs.
  void BanUser(MapMember& admin, const std::string& userName, const std::string& reason);
  // The same ban made by someone who is not a member (an operator): `by`
  // is recorded as the ban's author and named at the end of the log line.
  // A `minutes` above 0 makes the ban end that many minutes from now (the
  // log line says "for N minutes"); 0 makes it permanent.
  // False when no member of this listener holds that name on `networkName`.
  bool BanUser(const std::string& userName, const std::string& networkName,
               const std::string& reason, const std::string& by, int64_t minutes = 0);
  // Lifts ban `id`, stored or not yet written, when it was recorded for
  // admin's network; otherwise does nothing, so one network's
  // administrators never lift another's bans. Writes the ban store, logs.
  void LiftBan(MapMember& admin, int64_t id);
  // 998 to every member of the networks named `networkName` ("(All
  // Networks)" for all). Returns how many members it went to.
  size_t BroadcastMessage(std::string_view text, std::string_view networkName);
  // 5 with sender's record to every other member of its network.
  void BroadcastPosition(MapMember& sender);
  // Logs.
  void CallStatusMessage(std::string_view text) { StatusMessage(text); }
  void CallUserLoggedIn(MapMember& client);
  void CallUserLoggedOut(MapMember& client);
  // Takes `leaver` out of the index; the members left get its 6 at the end
  // of the pass, unless they leave in that pass too.
  void ClientDisconnect(MapMember& leaver);
  // 999 to every connection of this listener that chose `network`; each
  // is then expelled (see Expel). Ends connections.
  void DisconnectAllClientsOnNetwork(ServerNetworks& network);
  // The first loaded network whose name equals `name` ignoring case,
  // enabled or not; null when none.
  ServerNetworks* FindNetwork(std::string_view name) const;
  // The member named `userName` on `networkName` gets 996 with `reason`
  // and is ended once that is flushed. Ends a connection, logs; a kick by
  // someone who is not a member (an operator) names them (`by`) at the end
  // of the line. False when no member of this listener holds that name on
  // that network.
  bool KickUser(const std::string& userName, const std::string& networkName,
                const std::string& reason, const std::string& by = std::string());
  // When this listener serves `network`: it stops serving it, and
  // EndNetwork. Ends connections.
  void RemoveNetwork(ServerNetworks& network);
  // 998 to the network's members on this listener, then
  // DisconnectAllClientsOnNetwork. Members may have come through any
  // listener, so a network taken off the air is ended on each. Ends
  // connections.
  void EndNetwork(ServerNetworks& network);
  // 7 with sender's name and `text` to the other members of `network`.
  void SendChatMessage(ServerNetworks* network, MapMember& sender, std::string_view text);
  // Logs.
  void StatusMessage(std::string_view text);

  // The connections snapshot, in accept order.
  std::vector<std::shared_ptr<MapMember>> Connections() const;

  // Membership index, kept by the connections as their login state changes.
  void AddMember(MapMember& client);
  void RemoveMember(MapMember& client);
  // Members of `network` on this listener, in accept order.
  const std::vector<MapMember*>& Members(const ServerNetworks* network) const;
  // The member holding `name` (ignoring case), or null.
  MapMember* MemberNamed(std::string_view name) const;

  BanStore* Bans() const { return bans_; }

  // True while the listener still serves a network but some address is
  // not listening: its bind failed, and the service tries again.
  bool AwaitsRetry() const { return !AllListening() && !Networks.empty(); }

  // The process's count of refused passwords per address.
  PasswordGuard& Guard() const { return guard_; }
  // What each address may take before its connections log in. The
  // listener keeps its own until one is lent, which must outlive it; lend
  // it before Listen.
  StrangerGuard& Strangers() const { return *strangers_; }
  void LendStrangerGuard(StrangerGuard& guard) { strangers_ = &guard; }
  // Is this address, or this name from it, banned on this network? The one
  // question every step of a login asks. It consults, in this order:
  //   1. the bans recorded since the start and not yet written to the ban
  //      database (the ban store keeps them in memory, where they count at
  //      once, even while an operator's session holds the database);
  //   2. the ban database's rows for the address on `network`;
  //   3. the network file's banned users: a "User" element flagged
  //      "IsBanned" with this `name` and this address as its "LastIP".
  // With `network` null (the greeting, before a network is chosen) the
  // question is whether stores 1 and 2 ban the address on any network served
  // on this listener's port; with `name` empty, store 3 is not asked. Ends
  // nothing and logs nothing: the caller refuses.
  bool IsBanned(const std::string& address, const ServerNetworks* network,
                std::string_view name = {}) const;

 protected:
  std::shared_ptr<TCPSocket> AddSocket() override;
  void Error(int64_t code) override;
  // "Listening on <address>:<port>[, ...] for <networks>", so an operator
  // reads where each network can be reached.
  void Listening(const std::string& endpoints) override;
  // "Server Error: <code> (<reason>) on <address>:<port> for <networks>",
  // naming the one address that failed.
  void ListenFailed(const std::string& endpoint, int64_t code, const std::string& reason) override;
  // The names of the networks this listener serves, joined by ", ".
  std::string NetworkNames() const;
  void ConnectionReleased(TCPSocket& socket) override;
  // Refuses an address holding MaxConnectionsPerAddress connections that
  // have not logged in.
  bool Admit(const std::string& address) override;
  void Admitted(TCPSocket& socket, const std::string& address) override;
  // Ends the oldest connection that has not logged in (and is not already
  // ending); false when there is none.
  bool MakeRoom() override;

 private:
  // The connection stops counting against its address (logged in or ended).
  void Settle(const MapMember& client);
  // Takes `target` out of its network at once and ends its connection once
  // what it was told is flushed (bounded for a peer that does not read).
  void Expel(MapMember& target);
  // The ban itself: `by` goes into the row, `logged_by` (unless empty) at
  // the end of the log line; `minutes` as BanUser's.
  bool BanMember(const std::string& userName, const std::string& networkName,
                 const std::string& reason, const std::string& by, const std::string& logged_by,
                 int64_t minutes);
  void SendLeaveNotices();
  void ScheduleLoginSweep();
  void EndStaleLogins();
  std::vector<MapMember*> MembersOfNetworksNamed(std::string_view name) const;

  std::vector<std::unique_ptr<ServerNetworks>>& all_networks_;
  BanStore* bans_;
  PasswordGuard& guard_;
  StrangerGuard own_strangers_;
  StrangerGuard* strangers_ = &own_strangers_;
  MemberFactory factory_;
  // Connections that have not logged in yet, oldest first (by Sequence),
  // with the address each counts against.
  struct Stranger {
    MapMember* client;
    std::string address;
  };
  std::map<uint64_t, Stranger> strangers_by_age_;

  std::unordered_map<const ServerNetworks*, std::vector<MapMember*>> members_;
  // Members by user name, ignoring case; a member's Username does not
  // change while it is a member.
  MemberNameIndex member_names_;
  asio::steady_timer login_sweep_;
  std::chrono::milliseconds login_timeout_{std::chrono::seconds(kLoginTimeoutSeconds)};
  // Members that left during this pass; their 6 goes out at its end.
  struct Departure {
    ServerNetworks* network;
    std::string name;
  };
  std::vector<Departure> departures_;
  // Work left for the end of a pass checks this before touching the
  // listener, which may be gone by then.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Scratch for building relay packets, kept to avoid an allocation per relay.
  std::string record_;
  std::string packet_;
};

}  // namespace brelvint
