#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace brelvint {

// What one source address may take before its connections have logged in,
// for the whole process: how many such connections it may hold on the game
// listeners, how many log lines they may write, and how many new names it
// may enrol. A client that knows no password must not be able to take every
// descriptor, fill the disk with lines about its connections, or fill a
// network's registered names. Sources are counted as PeerAddress::CountingKey
// names them (an IPv6 peer by its /64). Owned by App for the life of the
// process (a listener keeps its own when none is lent, as tests do) and lent
// to every listener, which must not outlive it. Loop thread only.
class StrangerGuard {
 public:
  // "MaxConnectionsPerAddress": connections that have not logged in one
  // source may hold; 0 means no limit.
  static constexpr int64_t kDefaultMaxConnectionsPerAddress = 32;
  // "MaxNewNamesPerAddress": names a source off the loopback network may
  // enrol per kEnrolWindow; 0 means no limit.
  static constexpr int64_t kDefaultMaxNewNamesPerAddress = 5;
  static constexpr std::chrono::hours kEnrolWindow{1};
  // Lines about connections that have not logged in, written in full per
  // source and kLogWindow; the rest are counted and summed up in one line
  // when the window ends.
  static constexpr uint32_t kLinesPerWindow = 20;
  static constexpr std::chrono::seconds kLogWindow{60};

  static constexpr const char kAddressFullLog[] =
      "{}: {} connections that have not logged in; new ones from there are refused until some "
      "log in or end (MaxConnectionsPerAddress)";
  static constexpr const char kLinesLeftOutLog[] =
      "{}: {} lines about connections from there that had not logged in were left out in the "
      "last minute";
  static constexpr const char kEnrolmentsRefusedLog[] =
      "{}: {} new names enrolled within the hour; new names from there are refused for now "
      "(MaxNewNamesPerAddress)";

  using Clock = std::chrono::steady_clock;

  StrangerGuard() = default;
  StrangerGuard(const StrangerGuard&) = delete;
  StrangerGuard& operator=(const StrangerGuard&) = delete;

  int64_t MaxConnectionsPerAddress = kDefaultMaxConnectionsPerAddress;
  int64_t MaxNewNamesPerAddress = kDefaultMaxNewNamesPerAddress;

  // True when `address` may open one more connection. False past
  // MaxConnectionsPerAddress; the first refusal of an episode is logged
  // (the episode ends once the source holds half as many), at most once
  // per kLogWindow.
  bool MayOpen(const std::string& address);
  // A connection from `address` started, and has not logged in.
  void Opened(const std::string& address);
  // A connection Opened counted logged in or ended.
  void Settled(const std::string& address);
  // Connections from `address` that have not logged in.
  uint32_t OpenFrom(const std::string& address) const;

  // Spends one of `address`'s lines about connections that have not logged
  // in: true to write the line, false when it is only counted (and summed
  // up by Sweep).
  bool TakeLine(const std::string& address, Clock::time_point now = Clock::now());

  // True when `address` may enrol one more new name, and counts it. A
  // loopback address always may: local tools and the operator's own
  // benchmarks are trusted, as the status page trusts them. The first
  // refusal of a window is logged.
  bool MayEnrol(const std::string& address, Clock::time_point now = Clock::now());

  // Writes the summary of each source whose log window ended with lines
  // left out, and forgets sources with nothing left to count, so sources
  // that came once do not accumulate. Call every few seconds.
  void Sweep(Clock::time_point now = Clock::now());
  size_t TrackedSources() const { return sources_.size(); }

 private:
  struct Source {
    uint32_t open = 0;
    bool full = false;  // in a refusal episode: logged, not yet over
    bool full_logged_once = false;
    Clock::time_point full_logged{};  // when an episode was last logged
    bool enrol_refusal_logged = false;
    uint32_t lines = 0;  // in the present log window
    uint32_t left_out = 0;
    uint32_t enrolled = 0;  // in the present enrolment window
    Clock::time_point log_window{};
    Clock::time_point enrol_window{};
  };

  Source& SourceOf(const std::string& address);

  std::unordered_map<std::string, Source> sources_;  // by counting key
};

}  // namespace brelvint
