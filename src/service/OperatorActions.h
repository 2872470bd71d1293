#pragma once

#include <boost/asio/thread_pool.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Asio.h"

namespace brelvint {

class App;
class ServerNetworks;

// What an operator may do to the running server without being a member of
// a network: kick, ban, lift, broadcast, and list the members and the bans.
// The command line reaches it through the control socket, the status page
// through its POST requests; both act through the hub's own kick, ban and
// broadcast, so each action has the effect and the log line an
// administrator's has, with the operator named at its end. Owned by its
// user (ControlSocket, StatusEndpoint); App must outlive it. Loop thread
// only, but for the stored bans of the ban list, which are read on a worker
// thread of its own (a database another process holds must not stall the
// relay); the bans not yet stored are taken from the store on the loop.
class OperatorActions {
 public:
  struct Request {
    std::string command;  // "kick", "ban", "lift", "broadcast", "members" or "bans"
    std::string network;  // empty: the only network loaded (members, bans: all)
    std::string name;     // kick, ban
    std::string reason;   // kick, ban
    std::string text;     // broadcast
    int64_t id = 0;       // lift
    int64_t minutes = 0;  // ban: how long it lasts (1..kMaxBanMinutes); 0 for ever
    bool all = false;     // broadcast to every network
    std::string account;  // who the command line says runs it (SUDO_USER, else the account)
    std::string source;   // the command that asks ("brelvint bans lift"); "" for "command line"
  };
  struct Outcome {
    int status = 0;    // 0 done; 1 nothing to act on, or it failed; 2 not understood
    std::string text;  // one line for the operator (client text escaped as the log does)
    // A table for the operator, its heading first; cells hold client text
    // as it came (the printer escapes it).
    std::vector<std::vector<std::string>> table;
  };
  using Done = std::function<void(Outcome)>;

  static constexpr const char kBroadcastLog[] = "Broadcast to {} by {}: {}";
  // The longest timed ban: a year. Longer is what a permanent ban is for.
  static constexpr int64_t kMaxBanMinutes = 525600;

  explicit OperatorActions(App& app);
  ~OperatorActions();
  OperatorActions(const OperatorActions&) = delete;
  OperatorActions& operator=(const OperatorActions&) = delete;

  // A request from its JSON text (an object with the Request's fields);
  // none, with `error` set to one line, when it is not one.
  static std::optional<Request> Parse(const std::string& json, std::string* error);
  // An outcome as the JSON text the control socket answers with, and back.
  static std::string Render(const Outcome& outcome);
  static std::optional<Outcome> ReadOutcome(const std::string& json);

  // Carries out `request` for the operator `who` ("operator alice (command
  // line)"), whom the log lines name; `done` gets the outcome on the loop
  // thread, at once but for the ban list. May end connections, write the
  // ban store and log. `done` is dropped when this object is destroyed first.
  void Run(const Request& request, const std::string& who, Done done);

 private:
  // The network `request` names, or the only one loaded when it names
  // none; null with `failure` set when there is no such network.
  ServerNetworks* TargetNetwork(const Request& request, Outcome* failure) const;
  Outcome Kick(const Request& request, const std::string& who);
  Outcome Ban(const Request& request, const std::string& who);
  Outcome Lift(const Request& request, const std::string& who);
  Outcome Broadcast(const Request& request, const std::string& who);
  Outcome Members(const Request& request) const;
  void ListBans(const Request& request, Done done);

  App& app_;
  asio::thread_pool worker_{1};
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace brelvint
