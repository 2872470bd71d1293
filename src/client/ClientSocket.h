#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/LogBudget.h"
#include "base/Metrics.h"
#include "client/LookupServices.h"
#include "hub/MapMember.h"

namespace brelvint {

class MapSocket;

// One accepted map-tool connection: greets the client, runs its login,
// dispatches its commands and cleans up when it ends. Owned by the
// MapSocket that accepted it (`myParent`, which outlives it, as do the
// lookup services); `myNetwork` and `myUser` point at records App owns.
class ClientSocket : public MapMember {
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
  static constexpr size_t kMaxUserNameBytes = 64;
  static constexpr const char kConnectionInitiated[] = ": Client Connection Initiated...";
  // Refused when a connection that already enrolled a new name asks for
  // another: renaming on one connection must not fill a network's names.
  static constexpr const char kSecondEnrolment[] =
      ": New name refused: this connection enrolled one already (";
  static constexpr const char kBannedGreeting[] =
      "Please contact an administrator for more information.";
  // Said once, when a connection's refused login steps outrun its LogBudget.
  static constexpr const char kRefusalsSuppressed[] =
      ": Too many refused login steps; further ones from this connection are logged at most "
      "twice a second";
  // What an administrator is told, and the log, when the ban list cannot be read.
  static constexpr const char kBanListUnreadable[] =
      "The ban list cannot be read right now; please try again later.";
  static constexpr const char kBanListUnreadableLog[] = "Ban list cannot be read for network ";
  // Said when that connection ends: "<address>: <n> lines ... not logged".
  static constexpr const char kRefusalsNotLogged[] =
      " lines about refused login steps of this connection were not logged";
  // What a connection may send before its first login: a login takes three
  // messages of a few dozen bytes, so a client past either figure is not a
  // map tool logging in. It is ended, with kStrangerOverrun.
  static constexpr size_t kStrangerBytes = 4096;
  static constexpr uint32_t kStrangerMessages = 32;
  static constexpr const char kStrangerOverrun[] =
      ": Sent more than a login needs (4096 bytes or 32 messages) before logging in; "
      "connection closed";

  ClientSocket(EventLoop& loop, MapSocket* parent, const LookupServices& lookup_services);
  ~ClientSocket() override;

  // What the location lookup learnt about the client. Held apart from the
  // connection, and only once a lookup returned something, so the
  // thousands of connections of a busy listener stay small.
  struct Location {
    std::string ClientCity;
    std::string ClientCountry;
    std::string ClientState;
    std::string ClientTimeZone;
    std::string ClientZip;
  };
  // The lookup's findings; all empty when it found nothing.
  const Location& ClientLocation() const;

  MapSocket* myParent = nullptr;

  // True when no other member of this listener holds `name` (any case).
  bool CanLogin(std::string_view name) const;
  // Starts the location lookup; the greeting follows when it ends.
  void GetClientInfo();
  MapperUser* getNetworkUser(std::string_view name, std::string_view address) const;
  bool isAdmin() const;
  // Looks this connection's user record up again after its network's
  // records were replaced (a reload); `was_admin` is what isAdmin said
  // before, as the old records are gone. Rights are kept while the new
  // record of this name and address still grants them and lost at once
  // when it does not, but are only gained at a login. The old record is
  // never read.
  void RecheckUser(bool was_admin);
  // True when the hub's ban question (MapSocket::IsBanned) says this
  // connection's address, or its name once logged in, is banned on its
  // network (on any network of its port before one is chosen).
  bool isBanned() const;

 protected:
  void Connected() override;
  void Error(int64_t code) override;
  void ReceivedMessage(int32_t command, const std::string& data) override;

 private:
  void Greet();
  // Abandons a lookup still under way (the connection ended).
  void CancelLookup();
  // Login steps.
  void SelectNetwork(const std::string& name);
  void CheckPassword(const std::string& digest);
  void TakeUserName(const std::string& name);
  void RefuseUserName(const std::string& name);
  // Counts the open login attempt as ended by `result`; nothing when none is open.
  void EndLoginAttempt(Metrics::LoginResult result);
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
  // Logs a line about this connection's own login steps within its
  // LogBudget: a client repeating a refused step must not flood the log.
  // Until the connection has taken a valid step, within its address's
  // budget instead (StrangerGuard::TakeLine).
  void LogLoginStep(std::string_view text);
  // True once the connection took a login step that was accepted, or
  // logged in: its lines are then its own, no longer its address's.
  bool KnownToLog() const { return valid_step_ || logged_in_once_; }
  // Counts a message received before the first login; false (and the
  // connection ended) once the connection is past its allowance.
  bool WithinStrangerAllowance(const std::string& data);
  // Logs the opening line, if its address's budget left it out, once the
  // connection has shown it is a map tool logging in.
  void NoteValidStep();

  const LookupServices& lookup_services_;
  // What the lookup found, and while it runs its HTTP request. Null unless
  // a lookup runs or one found something: one pointer for both, as every
  // byte of a connection counts thousands of times.
  struct Lookup {
    Location found;
    bool running = false;
    uint64_t request = 0;
  };
  Location& MutableLocation();
  bool LookupRunning() const { return lookup_ && lookup_->running; }
  void StartLookup();
  // Forgets the request; keeps what was found.
  void EndLookup();

  std::unique_ptr<Lookup> lookup_;
  LogBudget login_lines_;
  uint32_t stranger_bytes_ = 0;  // received before the first login
  uint32_t stranger_messages_ = 0;
  bool opening_logged_ = false;  // "Client Connection Initiated" was written
  bool valid_step_ = false;      // a network selection was accepted
  bool logged_in_once_ = false;
  bool enrolled_ = false;   // this connection enrolled a new name
  bool quiet_end_ = false;  // its end was logged already
};

}  // namespace brelvint
