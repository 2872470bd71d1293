#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace brelvint {

// What one run measured. Optional figures are absent when the phase that
// measures them did not run or the server's pid was not given.
struct LoadReport {
  std::string mode;
  std::string error;  // why the run stopped early; empty when it did not
  uint32_t members = 0;
  uint32_t reporters = 0;
  uint32_t bulk_clients = 0;
  uint32_t connections = 0;
  double setup_seconds = 0;

  // Reporting phase.
  double seconds = 0;
  uint64_t reports = 0;
  uint64_t expected = 0;
  uint64_t deliveries = 0;
  uint64_t deliveries_in_window = 0;
  uint64_t missing = 0;
  uint64_t duplicated = 0;
  uint64_t self_deliveries = 0;
  uint64_t foreign = 0;
  uint64_t leaked = 0;  // reports that reached the bulk network
  int64_t latency_p50_us = 0;
  int64_t latency_p99_us = 0;
  int64_t latency_p999_us = 0;
  int64_t latency_max_us = 0;

  // Login storm.
  std::optional<double> storm_seconds;
  uint64_t storm_ok = 0;
  uint64_t storm_fail_network = 0;
  uint64_t storm_fail_password = 0;
  uint64_t storm_fail_name = 0;
  uint64_t storm_closed = 0;
  uint64_t storm_unanswered = 0;

  // Always counted.
  uint64_t disconnects = 0;
  uint64_t protocol_errors = 0;
  uint64_t unexpected_messages = 0;

  // Server and load generator resources.
  std::optional<double> server_cpu_percent;
  std::optional<double> server_cpu_us_per_report;
  std::optional<uint64_t> server_rss_before;
  std::optional<uint64_t> server_rss_after;
  std::optional<double> rss_bytes_per_connection;
  std::optional<double> loadgen_cpu_percent;
  bool server_alive = true;

  double DeliveriesPerSecond() const {
    return seconds > 0 ? static_cast<double>(deliveries_in_window) / seconds : 0;
  }
  bool Complete() const {
    return missing == 0 && duplicated == 0 && self_deliveries == 0 && foreign == 0 && leaked == 0;
  }

  // Writes the report as aligned "name: value" lines, or as one JSON object.
  void Print(std::FILE* out, bool json) const;
};

}  // namespace brelvint
