#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "http/TempFile.h"
#include "protocol/EasyTCPSocket.h"

namespace brelvint {

class MapSocket;
class MapperUser;
class Picture;
class ServerNetworks;

// One accepted map-tool connection: greets the client, runs its login,
// dispatches its commands and cleans up when it ends. Owned by the
// MapSocket that accepted it (`myParent`, which outlives it); `myNetwork`
// and `myUser` point at records App owns.
//
// A connection is a *member* of its network only after an accepted
// selection, an accepted password and an accepted user name, in that
// order, on that network. Only members receive the network's traffic, hold
// a name and may report, list and chat.
class ClientSocket : public EasyTCPSocket {
 public:
  // Client-to-server commands.
  enum Command : int32_t {
    kSelectNetwork = 1,
    kPassword = 2,
    kUserName = 3,
    kPosition = 4,
    kUserList = 5,
    kChat = 7,
    kAdminQuery = 9,
    kKick = 10,
    kBan = 11,
    kBroadcast = 12,
    kBanList = 13,
    kUnban = 14,
    kGoodbye = 999,
  };
  // Server-to-client messages that are not plain replies.
  enum Notice : int32_t {
    kGreeting = 1,
    kPositionRecord = 5,
    kLeft = 6,
    kChatLine = 7,
    kKicked = 996,
    kBanned = 997,
    kNotice = 998,
    kBye = 999,
  };
  static constexpr size_t kMaxUserNameBytes = 64;
  static constexpr const char kBannedGreeting[] =
      "Please contact an administrator for more information.";

  ClientSocket(EventLoop& loop, MapSocket* parent);
  ~ClientSocket() override;

  // What the location lookup learnt about the client. Held apart from the
  // connection, and only once a lookup returned something, so the
  // thousands of connections of a busy listener stay small.
  struct Location {
    std::string ClientCity;
    std::string ClientCountry;
    std::shared_ptr<const Picture> ClientFlag;  // none until a flag image was decoded
    std::string ClientState;
    std::string ClientTimeZone;
    std::string ClientZip;
  };
  // The lookup's findings; all empty when it found nothing.
  const Location& ClientLocation() const;

  int64_t Facet = 0;
  int64_t HP = 0;
  bool InBattle = false;
  bool IsDead = false;
  ServerNetworks* myNetwork = nullptr;
  MapSocket* myParent = nullptr;
  MapperUser* myUser = nullptr;
  std::string Username;
  int64_t X = 0;
  int64_t Y = 0;

  // True when no other member of this listener holds `name` (any case).
  bool CanLogin(std::string_view name) const;
  // Starts the location lookup; the greeting follows when it ends.
  void GetClientInfo();
  MapperUser* getNetworkUser(std::string_view name, std::string_view address) const;
  bool isAdmin() const;
  bool isBanned() const;

  bool IsMember() const { return stage_ == Stage::kMember; }
  std::chrono::steady_clock::time_point ConnectedAt() const { return connected_at_; }
  // Appends this connection's position record ("name|X,Y,Facet,HP,b,d").
  void AppendPositionRecord(std::string& out) const;

 protected:
  void Connected() override;
  void Error(int64_t code) override;
  void ReceivedMessage(int32_t command, const std::string& data) override;

 private:
  enum class Stage { kNone, kSelected, kPasswordAccepted, kMember };

  void Greet();
  // The flag request, the second half of the lookup.
  void FetchFlag();
  // Abandons a lookup still under way (the connection ended).
  void CancelLookup();
  // Login steps.
  void SelectNetwork(const std::string& name);
  void CheckPassword(const std::string& digest);
  void TakeUserName(const std::string& name);
  void RefuseUserName(const std::string& name);
  // Gives back the place and the membership this connection holds, if any.
  void LeaveNetwork();
  // Member commands.
  void ReportPosition(const std::string& payload);
  void ListUsers();
  // Administrator commands.
  void Kick(const std::string& payload);
  void Ban(const std::string& payload);
  void Broadcast(const std::string& payload);
  void ListBans();
  void Unban(const std::string& payload);

  void Log(std::string_view text) const;

  std::chrono::steady_clock::time_point connected_at_;
  Stage stage_ = Stage::kNone;
  bool holds_place_ = false;
  // The lookup under way: its HTTP request and the private file the flag
  // request writes. Null when none runs.
  struct Lookup {
    uint64_t request = 0;
    std::optional<TempFile> flag_file;
  };
  Location& MutableLocation();

  std::unique_ptr<Location> location_;
  std::unique_ptr<Lookup> lookup_;
};

}  // namespace brelvint
