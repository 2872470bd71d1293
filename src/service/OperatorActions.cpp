#include "service/OperatorActions.h"

#include <fmt/format.h>

#include <boost/asio/post.hpp>
#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/LogMessage.h"
#include "base/TextCase.h"
#include "config/ServerNetworks.h"
#include "hub/BanStore.h"
#include "hub/MapMember.h"
#include "hub/MapSocket.h"
#include "service/App.h"

namespace brelvint {

using modGlobal::EscapeForLog;

namespace {

constexpr const char kNoSuchNetwork[] = "There is no network {} on this server.";
constexpr const char kWhichNetwork[] = "This server has {} networks: name one (--network NAME).";
constexpr const char kNotMember[] = "{} is not on network {}.";
constexpr const char kKicked[] = "Kicked {} from network {}.";
constexpr const char kBanned[] = "Banned {} ({}) on network {}{}.";
constexpr const char kBadMinutes[] = "A ban lasts from 1 to {} minutes (none: until lifted).";
constexpr const char kNoBan[] = "no ban {}{} in {} (brelvint bans list shows them)";
constexpr const char kLiftFailed[] = "Cannot lift ban {}: {}";
constexpr const char kSent[] = "Sent to {} member{} of {}.";
constexpr const char kNothingToSend[] = "There is no text to send.";
constexpr const char kNoMembers[] = "No members{}.";
constexpr const char kNoBans[] = "No bans stored{}.";
constexpr const char kBansUnreadable[] =
    "The stored bans cannot be read right now ({}: {}); only the bans not yet stored are listed.";
constexpr const char kUnknownCommand[] = "Unknown command.";

// Client text in a line for the operator, as the log shows it.
std::string Shown(const std::string& text) { return EscapeForLog(text); }

std::string LocalTime(std::chrono::system_clock::time_point when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

OperatorActions::Outcome Failed(int status, std::string text) {
  OperatorActions::Outcome outcome;
  outcome.status = status;
  outcome.text = std::move(text);
  return outcome;
}

OperatorActions::Outcome Succeeded(std::string text) { return Failed(0, std::move(text)); }

// Text fields of a request; a field of another type makes the request bad.
bool TakeText(const nlohmann::json& object, const char* key, std::string* field) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  *field = it->get<std::string>();
  return true;
}

}  // namespace

OperatorActions::OperatorActions(App& app) : app_(app) {}

OperatorActions::~OperatorActions() {
  *alive_ = false;
  worker_.join();
}

std::optional<OperatorActions::Request> OperatorActions::Parse(const std::string& json,
                                                               std::string* error) {
  nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  if (object.is_discarded() || !object.is_object()) {
    *error = "the request is not a JSON object";
    return std::nullopt;
  }
  Request request;
  bool good =
      TakeText(object, "command", &request.command) &&
      TakeText(object, "network", &request.network) && TakeText(object, "name", &request.name) &&
      TakeText(object, "reason", &request.reason) && TakeText(object, "text", &request.text) &&
      TakeText(object, "account", &request.account) && TakeText(object, "source", &request.source);
  if (auto id = object.find("id"); good && id != object.end()) {
    good = id->is_number_integer();
    if (good) request.id = id->get<int64_t>();
  }
  if (auto minutes = object.find("minutes"); good && minutes != object.end()) {
    good = minutes->is_null() || minutes->is_number_integer();
    if (good && !minutes->is_null()) request.minutes = minutes->get<int64_t>();
  }
  if (auto all = object.find("all"); good && all != object.end()) {
    good = all->is_boolean();
    if (good) request.all = all->get<bool>();
  }
  if (!good) {
    *error = "a field of the request has the wrong type";
    return std::nullopt;
  }
  return request;
}

std::string OperatorActions::Render(const Outcome& outcome) {
  nlohmann::json object = {
      {"status", outcome.status}, {"text", outcome.text}, {"table", outcome.table}};
  // Client text that is not UTF-8 reaches the operator with its bad bytes
  // replaced rather than failing the whole answer.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<OperatorActions::Outcome> OperatorActions::ReadOutcome(const std::string& json) {
  nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  try {
    Outcome outcome;
    outcome.status = object.at("status").get<int>();
    outcome.text = object.at("text").get<std::string>();
    outcome.table = object.at("table").get<std::vector<std::vector<std::string>>>();
    return outcome;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void OperatorActions::Run(const Request& request, const std::string& who, Done done) {
  const std::string& command = request.command;
  if (command == "kick") {
    done(Kick(request, who));
  } else if (command == "ban") {
    done(Ban(request, who));
  } else if (command == "lift") {
    done(Lift(request, who));
  } else if (command == "broadcast") {
    done(Broadcast(request, who));
  } else if (command == "members") {
    done(Members(request));
  } else if (command == "bans") {
    ListBans(request, std::move(done));
  } else {
    done(Failed(2, kUnknownCommand));
  }
}

ServerNetworks* OperatorActions::TargetNetwork(const Request& request, Outcome* failure) const {
  if (request.network.empty()) {
    if (app_.Networks.size() == 1) return app_.Networks.front().get();
    *failure = Failed(1, fmt::format(kWhichNetwork, app_.Networks.size()));
    return nullptr;
  }
  ServerNetworks* network = ServerNetworks::Named(app_.Networks, request.network);
  if (network == nullptr) *failure = Failed(1, fmt::format(kNoSuchNetwork, Shown(request.network)));
  return network;
}

OperatorActions::Outcome OperatorActions::Kick(const Request& request, const std::string& who) {
  Outcome failure;
  ServerNetworks* network = TargetNetwork(request, &failure);
  if (network == nullptr) return failure;
  // A member is on the one listener of its network's port; the others say no.
  for (auto& listener : app_.sSockets) {
    if (listener->KickUser(request.name, network->NetworkName, request.reason, who)) {
      return Succeeded(fmt::format(kKicked, Shown(request.name), Shown(network->NetworkName)));
    }
  }
  return Failed(1, fmt::format(kNotMember, Shown(request.name), Shown(network->NetworkName)));
}

OperatorActions::Outcome OperatorActions::Ban(const Request& request, const std::string& who) {
  if (request.minutes < 0 || request.minutes > kMaxBanMinutes) {
    return Failed(2, fmt::format(kBadMinutes, kMaxBanMinutes));
  }
  Outcome failure;
  ServerNetworks* network = TargetNetwork(request, &failure);
  if (network == nullptr) return failure;
  std::string lasting =
      request.minutes > 0 ? fmt::format(" for {} minutes", request.minutes) : std::string();
  for (auto& listener : app_.sSockets) {
    MapMember* target = listener->MemberNamed(request.name);
    if (target == nullptr) continue;
    std::string address = target->RemoteAddress();
    if (listener->BanUser(request.name, network->NetworkName, request.reason, who,
                          request.minutes)) {
      return Succeeded(
          fmt::format(kBanned, Shown(request.name), address, Shown(network->NetworkName), lasting));
    }
  }
  return Failed(1, fmt::format(kNotMember, Shown(request.name), Shown(network->NetworkName)));
}

OperatorActions::Outcome OperatorActions::Lift(const Request& request, const std::string& who) {
  BanStore* bans = app_.serverdb.get();
  std::string on_network =
      request.network.empty() ? std::string() : " on network " + Shown(request.network);
  if (bans == nullptr) return Failed(1, fmt::format(kNoBan, request.id, on_network, "(none)"));
  // The store's one lift, the same call an administrator's lift makes: a
  // ban not yet written goes from memory and the writer's queue at once.
  std::string error;
  std::optional<BanStore::Ban> lifted = bans->Lift(request.id, request.network, &error);
  if (!error.empty()) return Failed(1, fmt::format(kLiftFailed, request.id, error));
  if (!lifted) {
    return Failed(1, fmt::format(kNoBan, request.id, on_network, bans->File().string()));
  }
  std::string line = BanStore::LiftLine(*lifted, who, Shown(lifted->network));
  modGlobal::LogMessage(line);
  return Succeeded(line);
}

OperatorActions::Outcome OperatorActions::Broadcast(const Request& request,
                                                    const std::string& who) {
  if (request.text.empty()) return Failed(2, kNothingToSend);
  std::string target_name = MapSocket::kAllNetworks;
  std::string described = "every network";
  if (!request.all) {
    Outcome failure;
    ServerNetworks* network = TargetNetwork(request, &failure);
    if (network == nullptr) return failure;
    target_name = network->NetworkName;
    described = "network " + Shown(network->NetworkName);
  }
  size_t sent = 0;
  for (auto& listener : app_.sSockets)
    sent += listener->BroadcastMessage(request.text, target_name);
  modGlobal::LogMessage(fmt::format(kBroadcastLog, described, who, Shown(request.text)));
  return Succeeded(fmt::format(kSent, sent, sent == 1 ? "" : "s", described));
}

OperatorActions::Outcome OperatorActions::Members(const Request& request) const {
  const ServerNetworks* only = nullptr;
  if (!request.network.empty()) {
    Outcome failure;
    only = TargetNetwork(request, &failure);
    if (only == nullptr) return failure;
  }
  // Connection times are kept on the steady clock; shown as the wall
  // clock's, as the log writes times.
  auto steady_now = std::chrono::steady_clock::now();
  auto wall_now = std::chrono::system_clock::now();
  Outcome outcome;
  outcome.table.push_back({"Network", "Name", "Address", "Connected"});
  for (const auto& network : app_.Networks) {
    if (only != nullptr && network.get() != only) continue;
    for (const auto& listener : app_.sSockets) {
      for (const MapMember* member : listener->Members(network.get())) {
        auto since = wall_now - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                    steady_now - member->ConnectedAt());
        outcome.table.push_back(
            {network->NetworkName, member->Username, member->RemoteAddress(), LocalTime(since)});
      }
    }
  }
  if (outcome.table.size() == 1) {
    outcome.table.clear();
    outcome.text = fmt::format(
        kNoMembers, only == nullptr ? std::string() : " on network " + Shown(only->NetworkName));
  }
  return outcome;
}

void OperatorActions::ListBans(const Request& request, Done done) {
  // The one place the running server lists bans for an operator: the bans
  // on their way to the database, taken here on the loop, merged with what
  // is stored, read through a connection of the worker's own (a database
  // another process holds must not stall the relay, nor hide the pending).
  if (!app_.serverdb) {
    done(Succeeded(fmt::format(kNoBans, "")));
    return;
  }
  std::filesystem::path file = app_.serverdb->File();
  std::vector<BanStore::Ban> pending = app_.serverdb->Pending(request.network);
  asio::post(worker_, [file, network = request.network, pending = std::move(pending),
                       done = std::move(done), alive = std::weak_ptr<bool>(alive_),
                       &context = app_.Loop().Context()]() mutable {
    std::string error;
    std::vector<BanStore::Ban> rows;
    try {
      BanStore store(file);
      rows = store.Rows(network, &error);
    } catch (const std::exception& failure) {
      error = failure.what();
    }
    Outcome outcome;
    if (!error.empty()) {
      // The pending bans still show, under a line saying the rest could
      // not be read: a list that looks complete would mislead.
      rows.clear();
      outcome = Failed(1, fmt::format(kBansUnreadable, file.string(), error));
    }
    rows = BanStore::Merge(std::move(rows), pending);
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    if (rows.empty() && error.empty()) {
      outcome.text =
          fmt::format(kNoBans, network.empty() ? std::string() : " for network " + Shown(network));
    } else if (!rows.empty()) {
      outcome.table.push_back({"ID", "Network", "Address", "Name", "By", "Date", "Ends", "Reason"});
      for (const BanStore::Ban& ban : rows) {
        outcome.table.push_back({std::to_string(ban.id), ban.network, ban.address, ban.name, ban.by,
                                 ban.bandate, BanStore::EndText(ban, now),
                                 ban.stored ? ban.reason : ban.reason + BanStore::kNotYetStored});
      }
    }
    // `done` moves to the loop: what it holds (a session) is freed there.
    asio::post(context, [outcome = std::move(outcome), done = std::move(done), alive]() mutable {
      if (auto live = alive.lock(); live && *live) done(std::move(outcome));
    });
  });
}

}  // namespace brelvint
