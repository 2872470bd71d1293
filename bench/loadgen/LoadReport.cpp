#include "LoadReport.h"

#include <fmt/core.h>

#include <utility>
#include <vector>

namespace brelvint {

namespace {

// One printed figure: its JSON value text (already quoted for strings).
using Field = std::pair<const char*, std::string>;

std::string Number(double value) { return fmt::format("{:.3f}", value); }
std::string Number(uint64_t value) { return fmt::format("{}", value); }
std::string Number(int64_t value) { return fmt::format("{}", value); }
std::string Number(uint32_t value) { return fmt::format("{}", value); }

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      quoted += fmt::format("\\u{:04x}", static_cast<int>(c));
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

template <typename T>
void AddOptional(std::vector<Field>* fields, const char* name, const std::optional<T>& value) {
  if (value) fields->emplace_back(name, Number(*value));
}

}  // namespace

void LoadReport::Print(std::FILE* out, bool json) const {
  std::vector<Field> fields = {
      {"mode", Quoted(mode)},
      {"members", Number(members)},
      {"reporters", Number(reporters)},
      {"bulk_clients", Number(bulk_clients)},
      {"connections", Number(connections)},
      {"setup_seconds", Number(setup_seconds)},
  };
  if (reporters > 0) {
    std::vector<Field> traffic = {
        {"seconds", Number(seconds)},
        {"reports", Number(reports)},
        {"expected", Number(expected)},
        {"deliveries", Number(deliveries)},
        {"deliveries_per_second", Number(DeliveriesPerSecond())},
        {"missing", Number(missing)},
        {"duplicated", Number(duplicated)},
        {"self_deliveries", Number(self_deliveries)},
        {"foreign", Number(foreign)},
        {"latency_p50_us", Number(latency_p50_us)},
        {"latency_p99_us", Number(latency_p99_us)},
        {"latency_p999_us", Number(latency_p999_us)},
        {"latency_max_us", Number(latency_max_us)},
    };
    fields.insert(fields.end(), traffic.begin(), traffic.end());
  }
  if (storm_seconds) {
    std::vector<Field> storm = {
        {"storm_seconds", Number(*storm_seconds)},
        {"storm_ok", Number(storm_ok)},
        {"storm_fail_network", Number(storm_fail_network)},
        {"storm_fail_password", Number(storm_fail_password)},
        {"storm_fail_name", Number(storm_fail_name)},
        {"storm_closed", Number(storm_closed)},
        {"storm_unanswered", Number(storm_unanswered)},
    };
    fields.insert(fields.end(), storm.begin(), storm.end());
  }
  if (bulk_clients > 0) fields.emplace_back("leaked", Number(leaked));
  fields.emplace_back("disconnects", Number(disconnects));
  fields.emplace_back("protocol_errors", Number(protocol_errors));
  fields.emplace_back("unexpected_messages", Number(unexpected_messages));
  AddOptional(&fields, "server_cpu_percent", server_cpu_percent);
  AddOptional(&fields, "server_cpu_us_per_report", server_cpu_us_per_report);
  AddOptional(&fields, "server_rss_before", server_rss_before);
  AddOptional(&fields, "server_rss_after", server_rss_after);
  AddOptional(&fields, "rss_bytes_per_connection", rss_bytes_per_connection);
  AddOptional(&fields, "loadgen_cpu_percent", loadgen_cpu_percent);
  fields.emplace_back("server_alive", server_alive ? "true" : "false");
  fields.emplace_back("complete", Complete() ? "true" : "false");
  fields.emplace_back("error", Quoted(error));

  if (json) {
    std::string text = "{";
    for (size_t i = 0; i < fields.size(); ++i) {
      text += fmt::format("{}\"{}\": {}", i == 0 ? "" : ", ", fields[i].first, fields[i].second);
    }
    fmt::print(out, "{}}}\n", text);
    return;
  }
  for (const Field& field : fields) fmt::print(out, "{:<26} {}\n", field.first, field.second);
}

}  // namespace brelvint
