#include "RedisDriver.h"

#include <fmt/core.h>

#include <cstring>

#include "BrelvintPacket.h"

namespace brelvint {

namespace {

constexpr std::string_view kSubscribe = "SUBSCRIBE";
constexpr std::string_view kPublish = "PUBLISH";
constexpr std::string_view kSubscribed = "subscribe";
constexpr std::string_view kMessage = "message";
// User names are 1-64 bytes.
constexpr size_t kMaxNameLength = 64;

}  // namespace

RedisDriver::RedisDriver(const LoadgenOptions& options) : LoadDriver(options) {
  for (uint32_t reporter = 0; reporter < options.reporters; ++reporter) {
    reporter_names_.push_back(options.name_prefix + "m" + std::to_string(reporter));
  }
}

void RedisDriver::OnConnected(Connection& conn) {
  if (conn.role() == Connection::Role::kPublisher) {
    conn.set_stage(Connection::Stage::kReady);
    Settle();
    return;
  }
  AppendRespCommand(&conn.output(), {kSubscribe, options().channel});
  Queue(conn);
  conn.set_stage(Connection::Stage::kAwaitSubscribed);
}

std::optional<size_t> RedisDriver::OnInput(Connection& conn, const char* data, size_t size) {
  size_t used = 0;
  RespMessage message;
  while (conn.fd() >= 0) {
    std::optional<size_t> length = ParseRespMessage(data + used, size - used, &message);
    if (!length) return std::nullopt;
    if (*length == 0) break;
    used += *length;
    if (message.type == '-') {
      Fail(fmt::format("redis answered: {}", message.text));
    } else if (conn.role() == Connection::Role::kPublisher) {
      OnPublisherReply(message);
    } else {
      OnSubscriberMessage(conn, message);
    }
  }
  return used;
}

void RedisDriver::OnSubscriberMessage(Connection& conn, const RespMessage& message) {
  if (message.type != '*' || message.item_count != 3) {
    CountUnexpected();
  } else if (message.items[0] == kMessage && conn.stage() == Connection::Stage::kReady) {
    HandleDelivery(conn.index(), message.items[2]);
  } else if (message.items[0] == kSubscribed &&
             conn.stage() == Connection::Stage::kAwaitSubscribed) {
    LoginAnswered(conn, 0);
  } else {
    CountUnexpected();
  }
}

void RedisDriver::OnPublisherReply(const RespMessage& message) {
  // PUBLISH answers with the number of subscribers reached; the deliveries
  // themselves are counted where they arrive.
  if (message.type != ':') CountUnexpected();
}

void RedisDriver::StartLogin(Connection& conn) { OnConnected(conn); }

void RedisDriver::QueueReport(uint32_t reporter, int64_t sequence, int64_t now_us) {
  // The payload Brelvint would relay: the reporter's name, '|', the report.
  const std::string& name = reporter_names_[reporter];
  char payload[kMaxNameLength + 1 + kMaxReportText];
  std::memcpy(payload, name.data(), name.size());
  payload[name.size()] = '|';
  size_t length = name.size() + 1;
  length += FormatReportText(payload + length, now_us, sequence, reporter);
  Connection& publisher = At(options().TotalMembers() + reporter);
  AppendRespCommand(&publisher.output(),
                    {kPublish, options().channel, std::string_view(payload, length)});
  Queue(publisher);
}

}  // namespace brelvint
