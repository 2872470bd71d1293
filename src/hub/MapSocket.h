#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <chrono>

#include <asio/steady_timer.hpp>

#include "config/TextCase.h"
#include "protocol/ServerSocket.h"

namespace brelvint {

class BanStore;
class ClientSocket;
class HttpClient;
class ServerNetworks;

// The listener of one network and the hub through which its connections
// reach each other: relays, notices, kicks, bans and disconnect notices.
// It owns the connections it accepts (ServerSocket); the network records
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

  // `networks` is the service's list of loaded networks (searched by name);
  // `bans` may be null when no ban store is open.
  MapSocket(EventLoop& loop, std::vector<std::unique_ptr<ServerNetworks>>& networks,
            BanStore* bans);
  ~MapSocket() override;

  // Networks this listener may take off the air (RemoveNetwork).
  std::vector<ServerNetworks*> Networks;

  // Where new connections are looked up: the client used and the base URLs
  // of the location and flag services ("http://host:port"); an empty base
  // skips that request, a null client skips both.
  HttpClient* Http = nullptr;
  std::string LocationService;
  std::string FlagService;

  // How long a connection may take to complete its login (default
  // kLoginTimeoutSeconds); tests shorten it.
  void SetLoginTimeout(std::chrono::milliseconds timeout);

  // Hooks any user of a listener may attach.
  std::function<void(ClientSocket&)> UserLoggedIn;
  std::function<void(ClientSocket&)> UserLoggedOut;

  void BanUser(ClientSocket& admin, const std::string& userName, const std::string& reason);
  void BroadcastMessage(std::string_view text, std::string_view networkName);
  void BroadcastPosition(ClientSocket& sender);
  void CallStatusMessage(std::string_view text) { StatusMessage(text); }
  void CallUserLoggedIn(ClientSocket& client);
  void CallUserLoggedOut(ClientSocket& client);
  void ClientDisconnect(ClientSocket& leaver);
  void DisconnectAllClientsOnNetwork(ServerNetworks& network);
  // The first loaded network whose name equals `name` ignoring case,
  // enabled or not; null when none.
  ServerNetworks* FindNetwork(std::string_view name) const;
  void KickUser(const std::string& userName, const std::string& networkName,
                const std::string& reason);
  void RemoveNetwork(ServerNetworks& network);
  void SendChatMessage(ServerNetworks* network, ClientSocket& sender, std::string_view text);
  void StatusMessage(std::string_view text);

  // The connections snapshot, in accept order.
  std::vector<std::shared_ptr<ClientSocket>> Connections() const;

  // Membership index, kept by ClientSocket as its login state changes.
  void AddMember(ClientSocket& client);
  void RemoveMember(ClientSocket& client);
  // Members of `network` on this listener, in accept order.
  const std::vector<ClientSocket*>& Members(const ServerNetworks* network) const;
  // The member holding `name` (ignoring case), or null.
  ClientSocket* MemberNamed(std::string_view name) const;

  BanStore* Bans() const { return bans_; }

  // Password guessing: after kMaxRefusedPasswords refusals from one
  // address within a minute, that address's attempts are refused
  // without comparing for the next minute.
  static constexpr int kMaxRefusedPasswords = 5;
  static constexpr int kPasswordBlockSeconds = 60;
  void RecordRefusedPassword(const std::string& address);
  bool PasswordGuessingBlocked(const std::string& address) const;
  // True when the ban store holds a row for `address` on a network served
  // on this listener's port.
  bool AddressBannedHere(const std::string& address) const;

 protected:
  std::shared_ptr<TCPSocket> AddSocket() override;
  void Error(int64_t code) override;
  void ConnectionReleased(TCPSocket& socket) override;

 private:
  void ScheduleLoginSweep();
  void EndStaleLogins();
  std::vector<ClientSocket*> MembersOfNetworksNamed(std::string_view name) const;

  std::vector<std::unique_ptr<ServerNetworks>>& all_networks_;
  BanStore* bans_;
  struct Guesses {
    std::vector<std::chrono::steady_clock::time_point> refused;  // within the last minute
    std::chrono::steady_clock::time_point blocked_until;
  };
  void ForgetOldGuesses();

  std::unordered_map<const ServerNetworks*, std::vector<ClientSocket*>> members_;
  std::unordered_map<std::string, Guesses> guesses_;
  // Members by user name, ignoring case; the key views the member's own
  // Username, which does not change while it is a member.
  std::unordered_map<std::string_view, ClientSocket*, TextCase::Hasher, TextCase::EqualTo>
      member_names_;
  asio::steady_timer login_sweep_;
  std::chrono::milliseconds login_timeout_{std::chrono::seconds(kLoginTimeoutSeconds)};
  // Scratch for building relay packets, kept to avoid an allocation per relay.
  std::string record_;
  std::string packet_;
};

}  // namespace brelvint
