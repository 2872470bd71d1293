#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "protocol/EasyTCPSocket.h"

namespace brelvint {

class MapperUser;
class ServerNetworks;

// What the hub knows of one connection of its listener: the network it
// chose, the name it holds, its last position and how far its login got.
// The hub relays to, indexes and moderates members through this interface
// alone; the connection class above it (dispatch, login steps, commands)
// fills the fields in. Owned by the MapSocket that accepted it.
//
// A connection is a *member* of its network only after an accepted
// selection, an accepted password and an accepted user name, in that
// order, on that network. Only members receive the network's traffic, hold
// a name and may report, list and chat.
class MapMember : public EasyTCPSocket {
 public:
  // The server-to-client messages: replies carry the number of the command
  // they answer.
  enum Message : int32_t {
    kGreeting = 1,
    kNetworkReply = 2,
    kPasswordReply = 3,
    kUserNameReply = 4,
    kPositionRecord = 5,
    kLeft = 6,
    kChatLine = 7,
    kAdminReply = 9,
    kBanListReply = 13,
    kKicked = 996,
    kBanned = 997,
    kNotice = 998,
    kBye = 999,
  };
  static constexpr const char kGreetingText[] = "Network";
  static constexpr const char kOK[] = "OK";
  static constexpr const char kFail[] = "FAIL";
  static constexpr const char kByeText[] = "BYE";

  enum class Stage : uint8_t { kNone, kSelected, kPasswordAccepted, kMember };

  explicit MapMember(EventLoop& loop) : EasyTCPSocket(loop) {}

  int64_t Facet = 0;
  int64_t HP = 0;
  ServerNetworks* myNetwork = nullptr;
  MapperUser* myUser = nullptr;
  std::string Username;
  int64_t X = 0;
  int64_t Y = 0;
  // The flags sit beside the login stage below, sharing one word: thousands
  // of idle connections pay for every byte of padding.
  bool InBattle = false;
  bool IsDead = false;

  Stage LoginStage() const { return stage_; }
  bool IsMember() const { return stage_ == Stage::kMember; }
  std::chrono::steady_clock::time_point ConnectedAt() const { return connected_at_; }
  // Since when this connection has been without membership: its connection
  // time, or the moment it last stopped being a member. The login timeout
  // counts from here, so a member's refused retry starts a fresh clock.
  std::chrono::steady_clock::time_point OutsideSince() const { return outside_since_; }

  // Takes one of myNetwork's places (CurrentUsers).
  void TakePlace();
  // Gives back the place this connection holds, if any, and starts the
  // login over. A member must have left the listener's index first.
  void GiveBackPlace();

 protected:
  // Subclasses that handle it call the base first.
  void Connected() override;
  void SetLoginStage(Stage stage);
  // A login attempt runs from an answered network selection to the step
  // that ends it (a refusal or membership); it is counted once, at its end.
  bool LoginAttemptOpen() const { return attempt_open_; }
  void SetLoginAttemptOpen(bool open) { attempt_open_ = open; }

 private:
  Stage stage_ = Stage::kNone;
  bool holds_place_ = false;
  bool attempt_open_ = false;
  std::chrono::steady_clock::time_point connected_at_;
  std::chrono::steady_clock::time_point outside_since_;
};

}  // namespace brelvint
