#include "service/StatusReport.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/Metrics.h"
#include "base/ProcessStats.h"
#include "base/TextUtf8.h"
#include "client/ClientSocket.h"
#include "config/ServerNetworks.h"
#include "hub/MapSocket.h"

#ifndef BRELVINT_VERSION
#define BRELVINT_VERSION "unknown"
#endif

namespace brelvint {

namespace {

constexpr const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

struct MemberRow {
  std::string Name;
  std::string Address;
  int64_t X, Y, Facet, HP;
  bool InBattle, IsDead;
  int64_t ConnectedSeconds;
  std::string City;
  std::string Country;
};

int64_t UnixSeconds(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count();
}

// Where one network's own listener stands, address by address.
struct ListenerRow {
  bool Listening = false;  // every address listens
  std::string Address;     // as bound, joined: "127.0.0.1:12000, [::1]:12000"
  int64_t Port = 0;
  // The failing addresses with their errors ("10.8.0.1:12000: 98 (Address
  // already in use)", joined by "; "); "" while every address listens.
  std::string Error;
  int64_t SinceSeconds = 0;  // Unix time of the latest change, 0 when never tried
  std::vector<ServerSocket::AddressState> Addresses;
};

constexpr const char kNoListener[] = "no listener: the network's port is not usable";

ListenerRow ListenerOf(const ServerNetworks& network,
                       const std::vector<std::shared_ptr<MapSocket>>& listeners) {
  ListenerRow row;
  row.Port = network.Port;
  for (const auto& listener : listeners) {
    const auto& served = listener->Networks;
    if (std::find(served.begin(), served.end(), &network) == served.end()) continue;
    row.Listening = listener->AllListening();
    row.Port = listener->IsListening() ? listener->BoundPort() : listener->Port;
    row.Address = listener->Endpoints(row.Port);
    row.Addresses = listener->Addresses();
    for (const auto& address : row.Addresses) {
      row.SinceSeconds = std::max(row.SinceSeconds, UnixSeconds(address.Since));
      if (address.Listening) continue;
      if (!row.Error.empty()) row.Error += "; ";
      row.Error += address.Endpoint + ": " + address.Error;
    }
    return row;
  }
  row.Error = kNoListener;
  return row;
}

nlohmann::json ListenerJson(const ListenerRow& row) {
  nlohmann::json addresses = nlohmann::json::array();
  for (const auto& address : row.Addresses) {
    addresses.push_back({{"address", address.Endpoint},
                         {"listening", address.Listening},
                         {"error", address.Error},
                         {"since", UnixSeconds(address.Since)}});
  }
  return {{"listening", row.Listening}, {"address", row.Address},
          {"port", row.Port},           {"error", row.Error},
          {"since", row.SinceSeconds},  {"addresses", std::move(addresses)}};
}

struct NetworkRow {
  std::string Name;
  int64_t Port;
  bool Enabled;
  int64_t MaxUsers;
  int64_t CurrentUsers;
  size_t RegisteredNames = 0;
  uint64_t EnrolmentsRefused = 0;
  size_t MemberCount = 0;
  std::vector<MemberRow> Members;  // filled for the status document only
  ListenerRow Listener;
};

MemberRow Row(const MapMember& member, std::chrono::steady_clock::time_point now) {
  // App's listeners make only ClientSockets, which carry the lookup's findings.
  const auto& location = static_cast<const ClientSocket&>(member).ClientLocation();
  auto connected = std::chrono::duration_cast<std::chrono::seconds>(now - member.ConnectedAt());
  return {member.Username,
          member.RemoteAddress(),
          member.X,
          member.Y,
          member.Facet,
          member.HP,
          member.InBattle,
          member.IsDead,
          connected.count(),
          location.ClientCity,
          location.ClientCountry};
}

nlohmann::json MemberJson(const MemberRow& member) {
  return {{"name", member.Name},
          {"address", member.Address},
          {"x", member.X},
          {"y", member.Y},
          {"facet", member.Facet},
          {"hp", member.HP},
          {"inBattle", member.InBattle},
          {"isDead", member.IsDead},
          {"connectedSeconds", member.ConnectedSeconds},
          {"city", member.City},
          {"country", member.Country}};
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

template <typename Value>
void Sample(std::string& out, const char* name, Value value) {
  fmt::format_to(std::back_inserter(out), "{} {}\n", name, value);
}

struct CommandLabel {
  int32_t Number;
  const char* Name;
};
constexpr CommandLabel kCommandLabels[] = {
    {ClientSocket::kSelectNetwork, "select_network"},
    {ClientSocket::kPassword, "password"},
    {ClientSocket::kUserName, "user_name"},
    {ClientSocket::kPosition, "position"},
    {ClientSocket::kUserList, "user_list"},
    {ClientSocket::kChat, "chat"},
    {ClientSocket::kAdminQuery, "admin_query"},
    {ClientSocket::kKick, "kick"},
    {ClientSocket::kBan, "ban"},
    {ClientSocket::kBroadcast, "broadcast"},
    {ClientSocket::kBanList, "ban_list"},
    {ClientSocket::kUnban, "unban"},
    {ClientSocket::kGoodbye, "goodbye"},
};
constexpr const char kOtherCommand[] = "other";

void Commands(std::string& out, const Metrics& metrics) {
  Family(out, "brelvint_messages_received_total", "counter",
         "Messages received from clients, by command.");
  uint64_t other = metrics.other_commands;
  for (int32_t command = 0; command < Metrics::kCommandSlots; ++command) {
    if (StatusReport::CommandName(command) == kOtherCommand) other += metrics.commands[command];
  }
  for (const auto& label : kCommandLabels) {
    fmt::format_to(std::back_inserter(out),
                   "brelvint_messages_received_total{{command=\"{}\"}} {}\n", label.Name,
                   metrics.commands[label.Number]);
  }
  fmt::format_to(std::back_inserter(out), "brelvint_messages_received_total{{command=\"{}\"}} {}\n",
                 kOtherCommand, other);
}

void PassTimes(std::string& out, const Metrics& metrics) {
  auto inserter = std::back_inserter(out);
  Family(out, "brelvint_loop_pass_seconds", "histogram",
         "Time the event loop spends working in one pass, idle waits left out.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < Metrics::kPassBucketMicros.size(); ++i) {
    cumulative += metrics.pass_buckets[i];
    fmt::format_to(inserter, "brelvint_loop_pass_seconds_bucket{{le=\"{}\"}} {}\n",
                   Metrics::kPassBucketMicros[i] / 1e6, cumulative);
  }
  cumulative += metrics.pass_buckets.back();
  fmt::format_to(inserter, "brelvint_loop_pass_seconds_bucket{{le=\"+Inf\"}} {}\n", cumulative);
  fmt::format_to(inserter, "brelvint_loop_pass_seconds_sum {}\n",
                 std::chrono::duration<double>(metrics.pass_total).count());
  fmt::format_to(inserter, "brelvint_loop_pass_seconds_count {}\n", metrics.pass_count);
}

void ProcessSeries(std::string& out) {
  auto stats = ProcessStats::Read();
  if (!stats) return;  // no /proc: the series are left out rather than made up
  Family(out, "process_cpu_seconds_total", "counter",
         "Total user and system CPU time spent in seconds.");
  Sample(out, "process_cpu_seconds_total", stats->CpuSeconds);
  Family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  Sample(out, "process_resident_memory_bytes", stats->ResidentBytes);
  Family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
  Sample(out, "process_open_fds", stats->OpenFds);
  Family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
  Sample(out, "process_max_fds", stats->MaxFds);
  Family(out, "process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.");
  Sample(out, "process_start_time_seconds", stats->StartTimeSeconds);
}

}  // namespace

std::string StatusReport::LabelValue(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = TextUtf8::SequenceLength(text, i);
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    char c = text[i];
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

const char* StatusReport::CommandName(int32_t command) {
  for (const auto& label : kCommandLabels) {
    if (label.Number == command) return label.Name;
  }
  return kOtherCommand;
}

size_t StatusReport::Connections() const {
  size_t count = 0;
  for (const auto& listener : listeners_) count += listener->ConnectionCount();
  return count;
}

StatusReport::Format StatusReport::JsonSnapshot() const {
  auto now = std::chrono::steady_clock::now();
  std::vector<NetworkRow> rows;
  rows.reserve(networks_.size());
  for (const auto& network : networks_) {
    NetworkRow row{network->NetworkName,
                   network->Port,
                   network->Enabled,
                   network->MaxUsers,
                   network->CurrentUsers,
                   network->Users.size(),
                   network->EnrolmentsRefused,
                   0,
                   {},
                   ListenerOf(*network, listeners_)};
    for (const auto& listener : listeners_) {
      for (const MapMember* member : listener->Members(network.get())) {
        row.Members.push_back(Row(*member, now));
      }
    }
    rows.push_back(std::move(row));
  }
  return [connections = Connections(), rows = std::move(rows)] {
    nlohmann::json networks = nlohmann::json::array();
    for (const auto& row : rows) {
      nlohmann::json members = nlohmann::json::array();
      for (const auto& member : row.Members) members.push_back(MemberJson(member));
      networks.push_back({{"name", row.Name},
                          {"port", row.Port},
                          {"enabled", row.Enabled},
                          {"maxUsers", row.MaxUsers},
                          {"currentUsers", row.CurrentUsers},
                          {"registeredNames", row.RegisteredNames},
                          {"enrolmentsRefused", row.EnrolmentsRefused},
                          {"listener", ListenerJson(row.Listener)},
                          {"members", std::move(members)}});
    }
    nlohmann::json status = {{"connections", connections}, {"networks", std::move(networks)}};
    // Names are the clients' bytes: replace what is not UTF-8 rather than fail.
    return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
}

StatusReport::Format StatusReport::PrometheusSnapshot() const {
  std::vector<std::pair<std::string, size_t>> members;
  std::vector<std::pair<std::string, ListenerRow>> up;
  struct Names {
    std::string Network;
    size_t Registered;
    uint64_t Refused;
  };
  std::vector<Names> names;
  for (const auto& network : networks_) {
    size_t count = 0;
    for (const auto& listener : listeners_) count += listener->Members(network.get()).size();
    members.emplace_back(network->NetworkName, count);
    names.push_back({network->NetworkName, network->Users.size(), network->EnrolmentsRefused});
    up.emplace_back(network->NetworkName, ListenerOf(*network, listeners_));
  }
  // A copy of the counters (some kilobytes), so the worker reads no live state.
  auto metrics = std::make_shared<const Metrics>(Metrics::Process());
  return [connections = Connections(), members = std::move(members), up = std::move(up),
          names = std::move(names), metrics] {
    std::string out;
    auto inserter = std::back_inserter(out);
    Family(out, "brelvint_build_info", "gauge", "The running build's version; always 1.");
    fmt::format_to(inserter, "brelvint_build_info{{version=\"{}\"}} 1\n",
                   LabelValue(BRELVINT_VERSION));
    Family(out, "brelvint_connections", "gauge", "Connections open on every listener.");
    Sample(out, "brelvint_connections", connections);
    Family(out, "brelvint_members", "gauge", "Logged-in members per network.");
    for (const auto& [name, count] : members) {
      fmt::format_to(inserter, "brelvint_members{{network=\"{}\"}} {}\n", LabelValue(name), count);
    }
    Family(out, "brelvint_registered_names", "gauge",
           "Names a network's records hold (MaxRegisteredUsers bounds them).");
    for (const auto& row : names) {
      fmt::format_to(inserter, "brelvint_registered_names{{network=\"{}\"}} {}\n",
                     LabelValue(row.Network), row.Registered);
    }
    Family(out, "brelvint_enrolments_refused_total", "counter",
           "New names refused: network full, second new name on a connection, or an address "
           "past MaxNewNamesPerAddress.");
    for (const auto& row : names) {
      fmt::format_to(inserter, "brelvint_enrolments_refused_total{{network=\"{}\"}} {}\n",
                     LabelValue(row.Network), row.Refused);
    }
    Family(out, "brelvint_listener_up", "gauge",
           "1 while the network's listener listens on the address, 0 while it cannot bind "
           "there (retried).");
    for (const auto& entry : up) {
      const ListenerRow& row = entry.second;
      auto series = [&](const std::string& address, bool listening) {
        fmt::format_to(inserter,
                       "brelvint_listener_up{{network=\"{}\",address=\"{}\",port=\"{}\"}} {}\n",
                       LabelValue(entry.first), LabelValue(address), row.Port, listening ? 1 : 0);
      };
      if (row.Addresses.empty()) series(row.Address, false);
      for (const auto& address : row.Addresses) series(address.Endpoint, address.Listening);
    }
    Commands(out, *metrics);
    Family(out, "brelvint_deliveries_total", "counter",
           "Relayed positions and chat lines, one per recipient.");
    Sample(out, "brelvint_deliveries_total", metrics->deliveries);
    Family(out, "brelvint_logins_total", "counter", "Login attempts, by what ended each.");
    for (size_t i = 0; i < Metrics::kLoginResultNames.size(); ++i) {
      fmt::format_to(inserter, "brelvint_logins_total{{result=\"{}\"}} {}\n",
                     Metrics::kLoginResultNames[i], metrics->logins[i]);
    }
    Family(out, "brelvint_kicks_total", "counter", "Members kicked by administrators.");
    Sample(out, "brelvint_kicks_total", metrics->kicks);
    Family(out, "brelvint_bans_total", "counter", "Members banned by administrators.");
    Sample(out, "brelvint_bans_total", metrics->bans);
    Family(out, "brelvint_slow_consumers_total", "counter",
           "Connections ended because they stopped reading their output.");
    Sample(out, "brelvint_slow_consumers_total", metrics->slow_consumers);
    Family(out, "brelvint_connections_refused_total", "counter",
           "Connections refused at accept because their address held MaxConnectionsPerAddress "
           "connections that had not logged in.");
    Sample(out, "brelvint_connections_refused_total", metrics->address_refusals);
    Family(out, "brelvint_strangers_closed_total", "counter",
           "Connections that had not logged in, ended by the server, by reason: make_room (to "
           "admit a newcomer on a full listener), overrun (sent more than a login needs).");
    fmt::format_to(inserter, "brelvint_strangers_closed_total{{reason=\"make_room\"}} {}\n",
                   metrics->strangers_evicted);
    fmt::format_to(inserter, "brelvint_strangers_closed_total{{reason=\"overrun\"}} {}\n",
                   metrics->stranger_overruns);
    Family(out, "brelvint_log_lines_left_out_total", "counter",
           "Log lines about connections that had not logged in, left out and summed up per "
           "address instead.");
    Sample(out, "brelvint_log_lines_left_out_total", metrics->stranger_lines_left_out);
    Family(out, "brelvint_output_bytes_total", "counter", "Bytes written to clients.");
    Sample(out, "brelvint_output_bytes_total", metrics->output_bytes);
    PassTimes(out, *metrics);
    ProcessSeries(out);
    return out;
  };
}

}  // namespace brelvint
