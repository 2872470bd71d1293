#include "service/StatusReport.h"

#include <chrono>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/Metrics.h"
#include "client/ClientSocket.h"
#include "config/ServerNetworks.h"
#include "hub/MapSocket.h"

namespace brelvint {

namespace {

// A Prometheus label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  fmt::format_to(std::back_inserter(out), "# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

void Sample(std::string& out, const char* name, uint64_t value) {
  fmt::format_to(std::back_inserter(out), "{} {}\n", name, value);
}

nlohmann::json MemberJson(const MapMember& member, std::chrono::steady_clock::time_point now) {
  // App's listeners make only ClientSockets, which carry the lookup's findings.
  const auto& location = static_cast<const ClientSocket&>(member).ClientLocation();
  auto connected = std::chrono::duration_cast<std::chrono::seconds>(now - member.ConnectedAt());
  return {{"name", member.Username},
          {"address", member.RemoteAddress()},
          {"x", member.X},
          {"y", member.Y},
          {"facet", member.Facet},
          {"hp", member.HP},
          {"inBattle", member.InBattle},
          {"isDead", member.IsDead},
          {"connectedSeconds", connected.count()},
          {"city", location.ClientCity},
          {"country", location.ClientCountry}};
}

}  // namespace

size_t StatusReport::Connections() const {
  size_t count = 0;
  for (const auto& listener : listeners_) count += listener->ConnectionCount();
  return count;
}

std::string StatusReport::Json() const {
  auto now = std::chrono::steady_clock::now();
  nlohmann::json networks = nlohmann::json::array();
  for (const auto& network : networks_) {
    nlohmann::json members = nlohmann::json::array();
    for (const auto& listener : listeners_) {
      for (const MapMember* member : listener->Members(network.get())) {
        members.push_back(MemberJson(*member, now));
      }
    }
    networks.push_back({{"name", network->NetworkName},
                        {"port", network->Port},
                        {"enabled", network->Enabled},
                        {"maxUsers", network->MaxUsers},
                        {"currentUsers", network->CurrentUsers},
                        {"members", std::move(members)}});
  }
  nlohmann::json status = {{"connections", Connections()}, {"networks", std::move(networks)}};
  // Names are the clients' bytes: replace what is not UTF-8 rather than fail.
  return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string StatusReport::Prometheus() const {
  const Metrics& metrics = Metrics::Process();
  std::string out;
  auto inserter = std::back_inserter(out);

  Family(out, "brelvint_connections", "gauge", "Connections open on every listener.");
  Sample(out, "brelvint_connections", Connections());

  Family(out, "brelvint_members", "gauge", "Logged-in members per network.");
  for (const auto& network : networks_) {
    size_t members = 0;
    for (const auto& listener : listeners_) members += listener->Members(network.get()).size();
    fmt::format_to(inserter, "brelvint_members{{network=\"{}\"}} {}\n",
                   LabelValue(network->NetworkName), members);
  }

  Family(out, "brelvint_messages_received_total", "counter",
         "Messages received from clients, by command number.");
  for (int32_t command = 0; command < Metrics::kCommandSlots; ++command) {
    if (metrics.commands[command] == 0) continue;
    fmt::format_to(inserter, "brelvint_messages_received_total{{command=\"{}\"}} {}\n", command,
                   metrics.commands[command]);
  }
  fmt::format_to(inserter, "brelvint_messages_received_total{{command=\"other\"}} {}\n",
                 metrics.other_commands);

  Family(out, "brelvint_deliveries_total", "counter",
         "Relayed positions and chat lines, one per recipient.");
  Sample(out, "brelvint_deliveries_total", metrics.deliveries);

  Family(out, "brelvint_logins_total", "counter", "Login steps accepted and refused.");
  fmt::format_to(inserter, "brelvint_logins_total{{result=\"ok\"}} {}\n", metrics.logins_ok);
  fmt::format_to(inserter, "brelvint_logins_total{{result=\"fail\"}} {}\n",
                 metrics.logins_failed);

  Family(out, "brelvint_kicks_total", "counter", "Members kicked by administrators.");
  Sample(out, "brelvint_kicks_total", metrics.kicks);
  Family(out, "brelvint_bans_total", "counter", "Members banned by administrators.");
  Sample(out, "brelvint_bans_total", metrics.bans);
  Family(out, "brelvint_slow_consumers_total", "counter",
         "Connections ended because they stopped reading their output.");
  Sample(out, "brelvint_slow_consumers_total", metrics.slow_consumers);
  Family(out, "brelvint_output_bytes_total", "counter", "Bytes written to clients.");
  Sample(out, "brelvint_output_bytes_total", metrics.output_bytes);

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
  return out;
}

}  // namespace brelvint
