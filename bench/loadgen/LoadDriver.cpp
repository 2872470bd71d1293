#include "LoadDriver.h"

#include <arpa/inet.h>
#include <fmt/core.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "MonotonicClock.h"

namespace brelvint {

namespace {

constexpr size_t kReadChunk = 256 * 1024;
// A carried partial message is smaller than the largest message either
// protocol allows (a Redis push holds up to three 64 KiB strings).
constexpr size_t kMaxCarry = 256 * 1024;
constexpr int kMaxEvents = 1024;
constexpr uint32_t kSpareDescriptors = 32;
constexpr int kIdleWaitMs = 10;
// A reporter that fell this far behind its schedule skips the backlog
// rather than bursting it at the server.
constexpr int kCatchUpLimit = 64;

const char* StepName(int step) {
  switch (step) {
    case 1:
      return "network";
    case 2:
      return "password";
    default:
      return "name";
  }
}

// Reads a non-negative decimal followed by ',' or the end, moving *cursor
// past both. Hand-rolled: it runs three times per delivery.
bool ParseField(const char** cursor, const char* end, int64_t* value) {
  const char* p = *cursor;
  const char* first = p;
  int64_t number = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (p - first >= 18) return false;
    number = number * 10 + (*p - '0');
  }
  if (p == first) return false;
  if (p < end) {
    if (*p != ',') return false;
    ++p;
  }
  *cursor = p;
  *value = number;
  return true;
}

double Seconds(int64_t micros) { return static_cast<double>(micros) / 1e6; }

int64_t Micros(double seconds) { return static_cast<int64_t>(seconds * 1e6); }

}  // namespace

LoadDriver::LoadDriver(const LoadgenOptions& options)
    : options_(options),
      tracker_(options.clients, options.reporters),
      server_(options.server_pid),
      self_(getpid()) {}

LoadDriver::~LoadDriver() {
  connections_.clear();
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

bool LoadDriver::Run(LoadReport* report) {
  report->mode = options_.mode == LoadMode::kRedis ? "redis" : "brelvint";
  report->members = options_.clients;
  report->reporters = options_.reporters;
  report->bulk_clients = options_.bulk_clients;
  bool ok = Prepare();
  if (ok) {
    report->server_rss_before = server_.RssBytes();
    ok = SetUp(report) && (!options_.login_storm || Storm(report)) && Hold() && Traffic(report);
  }
  Finish(report);
  return ok && report->error.empty();
}

std::string LoadDriver::NameOf(const Connection& conn) const {
  if (conn.role() == Connection::Role::kBulk) {
    return options_.bulk_prefix + std::to_string(conn.index());
  }
  return options_.name_prefix + "m" + std::to_string(conn.index());
}

void LoadDriver::Fail(const std::string& reason) {
  if (error_.empty()) error_ = reason;
}

bool LoadDriver::Prepare() {
  total_connections_ = options_.TotalMembers() + ExtraConnections();
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
      limit.rlim_cur < static_cast<rlim_t>(total_connections_) + kSpareDescriptors) {
    Fail(fmt::format("{} connections exceed the open-file limit of {}", total_connections_,
                     static_cast<uint64_t>(limit.rlim_cur)));
    return false;
  }
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) {
    Fail(fmt::format("epoll_create1: {}", std::strerror(errno)));
    return false;
  }
  target_.sin_family = AF_INET;
  target_.sin_port = htons(options_.port);
  inet_pton(AF_INET, options_.host.c_str(), &target_.sin_addr);

  connections_.reserve(total_connections_);
  for (uint32_t i = 0; i < options_.clients; ++i) {
    connections_.emplace_back(Connection::Role::kMember, i);
  }
  for (uint32_t i = 0; i < options_.bulk_clients; ++i) {
    connections_.emplace_back(Connection::Role::kBulk, i);
  }
  for (uint32_t i = 0; i < ExtraConnections(); ++i) {
    connections_.emplace_back(Connection::Role::kPublisher, i);
  }
  events_.resize(kMaxEvents);
  read_buffer_.resize(kReadChunk + kMaxCarry);
  next_due_us_.assign(options_.reporters, 0);
  return true;
}

bool LoadDriver::OpenNext() {
  Connection& conn = connections_[opened_];
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl((127u << 24) | (1 + opened_ % options_.sources));
  if (!conn.StartConnect(source, target_)) {
    Fail(fmt::format("cannot connect socket {} to {}:{}: {}", opened_, options_.host, options_.port,
                     std::strerror(errno)));
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT;
  event.data.u32 = opened_;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, conn.fd(), &event) != 0) {
    Fail(fmt::format("epoll_ctl: {}", std::strerror(errno)));
    return false;
  }
  conn.set_write_armed(true);
  ++opened_;
  ++pending_;
  return true;
}

bool LoadDriver::SetUp(LoadReport* report) {
  int64_t start = NowMicros();
  int64_t deadline = start + Micros(options_.setup_timeout);
  while (error_.empty() && settled_ < total_connections_) {
    while (opened_ < total_connections_ && pending_ < options_.max_pending) {
      if (!OpenNext()) break;
    }
    if (NowMicros() > deadline) {
      Fail(fmt::format("setup timed out after {} s: {} of {} connections ready",
                       options_.setup_timeout, settled_, total_connections_));
      break;
    }
    Poll(kIdleWaitMs);
  }
  report->setup_seconds = Seconds(NowMicros() - start);
  return error_.empty();
}

bool LoadDriver::Storm(LoadReport* report) {
  phase_ = Phase::kStorm;
  int64_t start = NowMicros();
  now_us_ = start;
  for (uint32_t i = 0; i < options_.clients; ++i) {
    if (connections_[i].stage() == Connection::Stage::kGreeted) {
      StartLogin(connections_[i]);
    } else {
      // Closed while waiting for the storm: it can never be answered.
      ++storm_answered_;
      ++storm_failures_[0];
    }
  }
  FlushQueued();
  int64_t deadline = start + Micros(options_.setup_timeout);
  while (error_.empty() && storm_answered_ < options_.clients && NowMicros() < deadline) {
    Poll(kIdleWaitMs);
  }
  bool all_answered = storm_answered_ == options_.clients;
  report->storm_seconds = Seconds((all_answered ? storm_last_answer_us_ : NowMicros()) - start);
  report->storm_fail_network = storm_failures_[1];
  report->storm_fail_password = storm_failures_[2];
  report->storm_fail_name = storm_failures_[3];
  report->storm_closed = storm_failures_[0];
  report->storm_ok = storm_answered_ - storm_failures_[0] - storm_failures_[1] -
                     storm_failures_[2] - storm_failures_[3];
  report->storm_unanswered = options_.clients - storm_answered_;
  if (!all_answered) {
    Fail(fmt::format("login storm timed out: {} of {} logins unanswered", report->storm_unanswered,
                     options_.clients));
  }
  return error_.empty();
}

bool LoadDriver::Hold() {
  if (options_.hold <= 0) return true;
  phase_ = Phase::kHold;
  int64_t end = NowMicros() + Micros(options_.hold);
  while (error_.empty() && NowMicros() < end) Poll(100);
  return error_.empty();
}

bool LoadDriver::Traffic(LoadReport* report) {
  if (options_.reporters == 0) return true;
  std::optional<uint64_t> server_cpu = server_.CpuMicros();
  std::optional<uint64_t> own_cpu = self_.CpuMicros();
  phase_ = Phase::kRun;
  int64_t start = NowMicros();
  now_us_ = start;
  run_end_us_ = start + Micros(options_.seconds);
  if (options_.window > 0) {
    for (uint32_t reporter = 0; reporter < options_.reporters; ++reporter) {
      for (uint32_t i = 0; i < options_.window; ++i) SendReport(reporter);
    }
  } else {
    // Spread the reporters evenly over one interval.
    interval_us_ = 1e6 / options_.rate;
    for (uint32_t reporter = 0; reporter < options_.reporters; ++reporter) {
      next_due_us_[reporter] =
          static_cast<double>(start) + interval_us_ * reporter / options_.reporters;
    }
    next_due_min_us_ = static_cast<double>(start);
    SendDueReports();
  }
  FlushQueued();
  while (error_.empty() && NowMicros() < run_end_us_) Poll(RunTimeout());

  int64_t elapsed = NowMicros() - start;
  report->seconds = Seconds(elapsed);
  report->deliveries_in_window = deliveries_in_window_;
  std::optional<uint64_t> server_cpu_end = server_.CpuMicros();
  std::optional<uint64_t> own_cpu_end = self_.CpuMicros();
  if (server_cpu && server_cpu_end && elapsed > 0) {
    auto used = static_cast<double>(*server_cpu_end - *server_cpu);
    report->server_cpu_percent = used * 100 / static_cast<double>(elapsed);
    if (tracker_.reports() > 0) {
      report->server_cpu_us_per_report = used / static_cast<double>(tracker_.reports());
    }
  }
  if (own_cpu && own_cpu_end && elapsed > 0) {
    report->loadgen_cpu_percent =
        static_cast<double>(*own_cpu_end - *own_cpu) * 100 / static_cast<double>(elapsed);
  }
  Drain();
  return error_.empty();
}

void LoadDriver::Drain() {
  phase_ = Phase::kDrain;
  int64_t end = NowMicros() + Micros(options_.drain);
  while (error_.empty() && tracker_.deliveries() < tracker_.Expected() && NowMicros() < end) {
    Poll(kIdleWaitMs);
  }
}

void LoadDriver::Finish(LoadReport* report) {
  phase_ = Phase::kDone;
  report->connections = total_connections_;
  report->reports = tracker_.reports();
  report->expected = tracker_.Expected();
  report->deliveries = tracker_.deliveries();
  report->missing = tracker_.Missing();
  report->duplicated = tracker_.duplicates();
  report->self_deliveries = tracker_.self_deliveries();
  report->foreign = tracker_.foreign();
  const LatencyHistogram& latency = tracker_.latency();
  report->latency_p50_us = latency.Percentile(0.50);
  report->latency_p99_us = latency.Percentile(0.99);
  report->latency_p999_us = latency.Percentile(0.999);
  report->latency_max_us = latency.Max();
  report->disconnects = disconnects_;
  report->protocol_errors = protocol_errors_;
  report->unexpected_messages = unexpected_messages_;
  report->leaked = leaked_;
  // Sampled while every connection is still open.
  report->server_rss_after = server_.RssBytes();
  if (report->server_rss_before && report->server_rss_after && total_connections_ > 0) {
    report->rss_bytes_per_connection = (static_cast<double>(*report->server_rss_after) -
                                        static_cast<double>(*report->server_rss_before)) /
                                       total_connections_;
  }
  if (server_.Enabled()) {
    report->server_alive = server_.Alive();
    if (!report->server_alive) Fail("the server process is gone");
  }
  if (disconnects_ > 0)
    Fail(fmt::format("the server closed {} logged-in connection(s)", disconnects_));
  if (protocol_errors_ > 0)
    Fail(fmt::format("the server sent malformed data on {} connection(s)", protocol_errors_));
  report->error = error_;
  for (Connection& conn : connections_) conn.Close();
}

void LoadDriver::Poll(int timeout_ms) {
  int count = epoll_wait(epoll_fd_, events_.data(), static_cast<int>(events_.size()), timeout_ms);
  if (count < 0) {
    if (errno != EINTR) Fail(fmt::format("epoll_wait: {}", std::strerror(errno)));
    count = 0;
  }
  now_us_ = NowMicros();
  for (int i = 0; i < count; ++i) HandleEvent(events_[i]);
  if (phase_ == Phase::kRun && options_.rate > 0) {
    now_us_ = NowMicros();
    SendDueReports();
  }
  FlushQueued();
}

void LoadDriver::HandleEvent(const epoll_event& event) {
  Connection& conn = connections_[event.data.u32];
  if (conn.fd() < 0) return;
  if (conn.stage() == Connection::Stage::kConnecting) {
    FinishConnect(conn);
    return;
  }
  if (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) ReadFrom(conn);
  if (conn.fd() >= 0 && (event.events & EPOLLOUT)) Queue(conn);
}

void LoadDriver::FinishConnect(Connection& conn) {
  int error = conn.ConnectError();
  if (error != 0) {
    conn.Close();
    Fail(fmt::format("connect to {}:{} failed: {}", options_.host, options_.port,
                     std::strerror(error)));
    return;
  }
  ArmWrite(conn, false);
  OnConnected(conn);
}

void LoadDriver::ReadFrom(Connection& conn) {
  size_t size = 0;
  Connection::IoResult result = conn.Read(read_buffer_.data(), read_buffer_.size(), &size);
  if (result == Connection::IoResult::kWouldBlock) return;
  if (result == Connection::IoResult::kClosed) {
    Lost(conn, /*by_server=*/true);
    return;
  }
  now_us_ = NowMicros();
  std::optional<size_t> used = OnInput(conn, read_buffer_.data(), size);
  if (!used) {
    if (protocol_errors_++ == 0) {
      fmt::print(stderr, "brelvint-loadgen: malformed data on connection {}; closing it\n",
                 NameOf(conn));
    }
    Lost(conn, /*by_server=*/false);
    return;
  }
  if (conn.fd() >= 0) conn.Carry(read_buffer_.data() + *used, size - *used);
}

void LoadDriver::Lost(Connection& conn, bool by_server) {
  Connection::Stage stage = conn.stage();
  conn.Close();
  if (stage == Connection::Stage::kFailed) return;  // refused logins may be closed
  bool logging_in = stage != Connection::Stage::kReady && stage != Connection::Stage::kGreeted;
  if (phase_ == Phase::kStorm && conn.role() == Connection::Role::kMember && logging_in) {
    ++storm_answered_;
    ++storm_failures_[0];
    storm_last_answer_us_ = now_us_;
    return;
  }
  if (phase_ == Phase::kSetup && logging_in) {
    Fail(fmt::format("the connection of {} ended during its login", NameOf(conn)));
    return;
  }
  if (!by_server) return;  // counted as a protocol error
  if (disconnects_++ == 0) {
    fmt::print(stderr, "brelvint-loadgen: the server closed the connection of {}\n", NameOf(conn));
  }
}

void LoadDriver::Queue(Connection& conn) {
  if (conn.flush_queued()) return;
  conn.set_flush_queued(true);
  flush_queue_.push_back(static_cast<uint32_t>(&conn - connections_.data()));
}

void LoadDriver::FlushQueued() {
  for (uint32_t index : flush_queue_) {
    Connection& conn = connections_[index];
    conn.set_flush_queued(false);
    if (conn.fd() < 0) continue;
    Connection::IoResult result = conn.Flush();
    if (result == Connection::IoResult::kClosed) {
      Lost(conn, /*by_server=*/true);
      continue;
    }
    ArmWrite(conn, result == Connection::IoResult::kWouldBlock);
  }
  flush_queue_.clear();
}

void LoadDriver::ArmWrite(Connection& conn, bool armed) {
  if (conn.write_armed() == armed) return;
  epoll_event event{};
  event.events = armed ? EPOLLIN | EPOLLOUT : EPOLLIN;
  event.data.u32 = static_cast<uint32_t>(&conn - connections_.data());
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, conn.fd(), &event);
  conn.set_write_armed(armed);
}

void LoadDriver::Settle() {
  ++settled_;
  --pending_;
}

void LoadDriver::LoginAnswered(Connection& conn, int failed_step) {
  conn.set_stage(failed_step == 0 ? Connection::Stage::kReady : Connection::Stage::kFailed);
  if (phase_ == Phase::kStorm && conn.role() == Connection::Role::kMember) {
    ++storm_answered_;
    storm_last_answer_us_ = now_us_;
    if (failed_step != 0) ++storm_failures_[failed_step];
    return;
  }
  if (failed_step != 0) {
    Fail(fmt::format("the server refused the login of {} at the {} step", NameOf(conn),
                     StepName(failed_step)));
    return;
  }
  Settle();
}

void LoadDriver::SendReport(uint32_t reporter) {
  if (connections_[reporter].stage() != Connection::Stage::kReady) return;
  int64_t sequence = tracker_.AddReport(reporter);
  QueueReport(reporter, sequence, NowMicros());
}

void LoadDriver::SendDueReports() {
  double now = static_cast<double>(now_us_);
  if (now < next_due_min_us_ || now_us_ >= run_end_us_) return;
  double next_min = std::numeric_limits<double>::infinity();
  for (uint32_t reporter = 0; reporter < options_.reporters; ++reporter) {
    double& due = next_due_us_[reporter];
    for (int sent = 0; due <= now && sent < kCatchUpLimit; ++sent) {
      SendReport(reporter);
      due += interval_us_;
    }
    if (due <= now) due = now + interval_us_;
    next_min = std::min(next_min, due);
  }
  next_due_min_us_ = next_min;
}

int LoadDriver::RunTimeout() const {
  double until = static_cast<double>(run_end_us_);
  if (options_.rate > 0) until = std::min(until, next_due_min_us_);
  double wait_ms = std::ceil((until - static_cast<double>(NowMicros())) / 1000);
  return static_cast<int>(std::clamp(wait_ms, 0.0, static_cast<double>(kIdleWaitMs)));
}

void LoadDriver::HandleDelivery(uint32_t receiver, std::string_view payload) {
  size_t bar = payload.find('|');
  if (bar == std::string_view::npos) {
    ++unexpected_messages_;
    return;
  }
  int64_t x;
  int64_t y;
  int64_t facet;
  const char* cursor = payload.data() + bar + 1;
  const char* end = payload.data() + payload.size();
  if (!ParseField(&cursor, end, &x) || !ParseField(&cursor, end, &y) ||
      !ParseField(&cursor, end, &facet)) {
    ++unexpected_messages_;
    return;
  }
  if (facet == receiver && EchoesOwnReports()) return;
  DeliveryTracker::Outcome outcome = tracker_.AddDelivery(receiver, facet, y, now_us_ - x);
  if (outcome != DeliveryTracker::Outcome::kCounted &&
      outcome != DeliveryTracker::Outcome::kCompleted) {
    return;
  }
  if (phase_ == Phase::kRun) ++deliveries_in_window_;
  if (outcome == DeliveryTracker::Outcome::kCompleted && options_.window > 0 &&
      phase_ == Phase::kRun) {
    SendReport(static_cast<uint32_t>(facet));
  }
}

}  // namespace brelvint
