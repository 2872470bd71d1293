#pragma once

#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Connection.h"
#include "DeliveryTracker.h"
#include "LoadReport.h"
#include "LoadgenOptions.h"
#include "ProcessProbe.h"

namespace brelvint {

// Runs one load-generator session on a single thread with epoll: opens and
// logs in every connection, optionally fires a login storm, holds the
// connections idle, drives the reports and drains the last deliveries. The
// server protocol lives in a subclass (BrelvintDriver, RedisDriver); the
// driver owns the connections, the timing and the accounting.
//
// Connections are laid out as: members 0..N-1 (member i has index i), bulk
// members N..N+K-1, then ExtraConnections() more (Redis publishers).
class LoadDriver {
 public:
  explicit LoadDriver(const LoadgenOptions& options);
  virtual ~LoadDriver();
  LoadDriver(const LoadDriver&) = delete;
  LoadDriver& operator=(const LoadDriver&) = delete;

  // Runs every phase the options ask for and fills `report`. False when the
  // run could not be completed or a connection failed; report->error then
  // says why and the figures measured so far are still filled in.
  bool Run(LoadReport* report);

 protected:
  enum class Phase { kSetup, kStorm, kHold, kRun, kDrain, kDone };

  // The TCP connect finished: start the protocol's greeting or login.
  virtual void OnConnected(Connection& conn) = 0;
  // Consumes the complete messages at the front of [data, data + size) and
  // returns how many bytes that was (the rest is carried to the next read);
  // nullopt when the stream is malformed, which closes the connection.
  virtual std::optional<size_t> OnInput(Connection& conn, const char* data, size_t size) = 0;
  // Sends the login of a connection held back at kGreeted (the storm).
  virtual void StartLogin(Connection& conn) = 0;
  // Queues report `sequence` of `reporter`, stamped with `now_us`.
  virtual void QueueReport(uint32_t reporter, int64_t sequence, int64_t now_us) = 0;
  virtual uint32_t ExtraConnections() const { return 0; }
  // True when a reporter's own reports come back to it and are to be ignored
  // (Redis subscribers); otherwise such a delivery counts as a fault.
  virtual bool EchoesOwnReports() const { return false; }

  const LoadgenOptions& options() const { return options_; }
  Phase phase() const { return phase_; }
  Connection& At(uint32_t index) { return connections_[index]; }
  // The user name of a member or bulk connection.
  std::string NameOf(const Connection& conn) const;

  // Schedules conn's queued output to be written at the end of this pass.
  void Queue(Connection& conn);
  // One more connection reached what the setup waits for: logged in (or,
  // before a storm, greeted). Called once per connection.
  void Settle();
  // A login answer: failed_step 0 for success, else the step (1 network,
  // 2 password, 3 name) the server refused. Outside the storm a refusal
  // ends the run.
  void LoginAnswered(Connection& conn, int failed_step);
  // A relayed report reached member `receiver`; payload is
  // "<name>|X,Y,Facet,HP,InBattle,IsDead".
  void HandleDelivery(uint32_t receiver, std::string_view payload);
  void CountUnexpected() { ++unexpected_messages_; }
  // A report reached a member of another network.
  void CountLeak() { ++leaked_; }
  // Ends the run with `reason` (first reason wins).
  void Fail(const std::string& reason);

 private:
  bool Prepare();
  bool SetUp(LoadReport* report);
  bool Storm(LoadReport* report);
  bool Hold();
  bool Traffic(LoadReport* report);
  void Drain();
  void Finish(LoadReport* report);

  bool OpenNext();
  void Poll(int timeout_ms);
  void HandleEvent(const epoll_event& event);
  void FinishConnect(Connection& conn);
  void ReadFrom(Connection& conn);
  // Closes conn and accounts for it: a login cut short, or (by_server) a
  // member the server dropped.
  void Lost(Connection& conn, bool by_server);
  void FlushQueued();
  void ArmWrite(Connection& conn, bool armed);
  void SendReport(uint32_t reporter);
  void SendDueReports();
  int RunTimeout() const;

  const LoadgenOptions options_;
  uint32_t total_connections_ = 0;
  std::vector<Connection> connections_;
  std::vector<uint32_t> flush_queue_;
  std::vector<epoll_event> events_;
  std::vector<char> read_buffer_;
  sockaddr_in target_{};
  int epoll_fd_ = -1;
  Phase phase_ = Phase::kSetup;
  int64_t now_us_ = 0;
  std::string error_;

  uint32_t opened_ = 0;
  uint32_t pending_ = 0;
  uint32_t settled_ = 0;

  uint64_t storm_answered_ = 0;
  int64_t storm_last_answer_us_ = 0;
  uint64_t storm_failures_[4] = {0, 0, 0, 0};  // by step; [0] closed unanswered

  DeliveryTracker tracker_;
  int64_t run_end_us_ = 0;
  double interval_us_ = 0;           // rate mode: between two reports of one reporter
  std::vector<double> next_due_us_;  // rate mode, per reporter
  double next_due_min_us_ = 0;
  uint64_t deliveries_in_window_ = 0;

  uint64_t disconnects_ = 0;
  uint64_t protocol_errors_ = 0;
  uint64_t unexpected_messages_ = 0;
  uint64_t leaked_ = 0;
  ProcessProbe server_;
  ProcessProbe self_;
};

}  // namespace brelvint
