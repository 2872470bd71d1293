#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace brelvint {

// The service's counters for operators: plain integers, read and changed on
// the event-loop thread only (the status endpoint asks the loop for a copy),
// so counting costs an increment and no synchronisation. One process-wide
// instance (Metrics::Process()), never destroyed.
class Metrics {
 public:
  // Commands 0..kCommandSlots-1 are counted one by one; any other number
  // (hostile or a newer tool) is counted together in other_commands.
  static constexpr int32_t kCommandSlots = 1000;
  // Upper bounds of the loop pass-time buckets, in microseconds; the last,
  // implicit bucket is +Inf. A quiet pass takes a few microseconds; a pass
  // that writes a network file or relays to thousands takes milliseconds.
  static constexpr std::array<int64_t, 12> kPassBucketMicros = {
      10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000, 50000, 250000};

  // What ended a login attempt (a network selection and what followed it);
  // each attempt is counted once, by the step that ended it.
  enum class LoginResult : uint8_t {
    kOk,
    kBadPassword,
    kBlocked,  // too many wrong passwords from the address lately
    kNameRefused,
    kBanned,
    kNetworkRefused,  // no such network, disabled or full
  };
  // The `result` label of each LoginResult, in order.
  static constexpr std::array<const char*, 6> kLoginResultNames = {
      "ok", "bad_password", "blocked", "name_refused", "banned", "network_refused"};

  static Metrics& Process();

  void CountLogin(LoginResult result) { ++logins[static_cast<size_t>(result)]; }

  void CountCommand(int32_t command) {
    if (command >= 0 && command < kCommandSlots) {
      ++commands[command];
    } else {
      ++other_commands;
    }
  }
  void ObservePass(std::chrono::steady_clock::duration elapsed);

  std::array<uint64_t, kCommandSlots> commands{};
  uint64_t other_commands = 0;
  uint64_t deliveries = 0;  // relayed positions and chat lines, one per recipient
  std::array<uint64_t, kLoginResultNames.size()> logins{};  // by LoginResult
  uint64_t kicks = 0;
  uint64_t bans = 0;
  uint64_t slow_consumers = 0;  // connections ended for not reading their output
  uint64_t output_bytes = 0;    // bytes the kernel accepted from every connection
  // Connections that had not logged in: refused at accept because their
  // address held MaxConnectionsPerAddress of them, ended to make room for a
  // newcomer on a full listener, and ended for sending more than a login
  // needs; log lines about them left out (summed up per address instead).
  uint64_t address_refusals = 0;
  uint64_t strangers_evicted = 0;
  uint64_t stranger_overruns = 0;
  uint64_t stranger_lines_left_out = 0;

  // Non-cumulative counts per bucket; the last is the +Inf bucket.
  std::array<uint64_t, kPassBucketMicros.size() + 1> pass_buckets{};
  uint64_t pass_count = 0;
  std::chrono::steady_clock::duration pass_total{};
};

}  // namespace brelvint
