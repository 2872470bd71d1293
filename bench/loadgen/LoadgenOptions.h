#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace brelvint {

enum class LoadMode { kBrelvint, kRedis };

// Everything one run of brelvint-loadgen needs, from its command line.
struct LoadgenOptions {
  LoadMode mode = LoadMode::kBrelvint;
  std::string host = "127.0.0.1";  // loopback only
  uint16_t port = 0;
  uint32_t clients = 0;    // members of the measured network
  uint32_t reporters = 0;  // members 0..reporters-1 send reports
  double rate = 0;         // reports per reporter per second (rate mode)
  uint32_t window = 0;     // reports in flight per reporter (window mode)
  double seconds = 0;      // length of the reporting phase
  double hold = 0;         // idle phase after the logins, before reporting
  double drain = 2;        // wait for the last deliveries after reporting
  double setup_timeout = 300;
  std::string network = "Bench";
  std::string password = "pw";
  std::string bulk_network = "Other";
  std::string bulk_password;  // the network password when not given
  uint32_t bulk_clients = 0;
  std::string name_prefix;  // unique to this process when not given
  std::string bulk_prefix;  // name_prefix + "b" when not given
  std::string channel;      // Redis channel; the network name when not given
  pid_t server_pid = 0;
  uint32_t sources = 0;  // source addresses 127.0.0.1..; 0: enough for the count
  uint32_t max_pending = 256;
  bool login_storm = false;
  bool pipelined_login = false;
  bool require_complete = false;
  bool json = false;

  uint32_t TotalMembers() const { return clients + bulk_clients; }
};

// Parses the command line. On bad input prints what is wrong and the usage
// to standard error and returns nullopt.
std::optional<LoadgenOptions> ParseLoadgenOptions(int argc, char** argv);

}  // namespace brelvint
