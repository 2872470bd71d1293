#include "BrelvintDriver.h"

#include <openssl/evp.h>

namespace brelvint {

namespace {

// Commands, client to server.
constexpr int32_t kSendNetwork = 1;
constexpr int32_t kSendPassword = 2;
constexpr int32_t kSendName = 3;
constexpr int32_t kSendPosition = 4;
// Commands, server to client.
constexpr int32_t kGreeting = 1;
constexpr int32_t kNetworkReply = 2;
constexpr int32_t kPasswordReply = 3;
constexpr int32_t kNameReply = 4;
constexpr int32_t kRelayedPosition = 5;
constexpr int32_t kMemberLeft = 6;
constexpr int32_t kChat = 7;
constexpr int32_t kNotice = 998;
constexpr int32_t kBye = 999;

constexpr std::string_view kOk = "OK";

std::string Md5(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

Connection::Stage AwaitingReplyTo(int step) {
  switch (step) {
    case 1:
      return Connection::Stage::kAwaitNetworkReply;
    case 2:
      return Connection::Stage::kAwaitPasswordReply;
    default:
      return Connection::Stage::kAwaitNameReply;
  }
}

}  // namespace

BrelvintDriver::BrelvintDriver(const LoadgenOptions& options)
    : LoadDriver(options),
      digest_(Md5(options.password)),
      bulk_digest_(Md5(options.bulk_password)) {}

void BrelvintDriver::OnConnected(Connection& conn) {
  conn.set_stage(Connection::Stage::kAwaitGreeting);
}

std::optional<size_t> BrelvintDriver::OnInput(Connection& conn, const char* data, size_t size) {
  size_t used = 0;
  BrelvintPacket packet;
  while (conn.fd() >= 0) {
    std::optional<size_t> length = ParseBrelvintPacket(data + used, size - used, &packet);
    if (!length) return std::nullopt;
    if (*length == 0) break;
    used += *length;
    Dispatch(conn, packet);
  }
  return used;
}

void BrelvintDriver::Dispatch(Connection& conn, const BrelvintPacket& packet) {
  if (conn.stage() == Connection::Stage::kFailed) return;
  switch (packet.command) {
    case kRelayedPosition:
      if (conn.stage() != Connection::Stage::kReady) {
        CountUnexpected();
      } else if (conn.role() == Connection::Role::kBulk) {
        CountLeak();  // bulk members sit on another network
      } else {
        HandleDelivery(conn.index(), packet.payload);
      }
      return;
    case kGreeting:
      if (conn.stage() == Connection::Stage::kAwaitGreeting) {
        OnGreeting(conn);
      } else {
        CountUnexpected();
      }
      return;
    case kNetworkReply:
      OnLoginReply(conn, 1, packet.payload);
      return;
    case kPasswordReply:
      OnLoginReply(conn, 2, packet.payload);
      return;
    case kNameReply:
      OnLoginReply(conn, 3, packet.payload);
      return;
    case kMemberLeft:
    case kChat:
    case kNotice:
    case kBye:
      return;
    default:
      CountUnexpected();
  }
}

void BrelvintDriver::OnGreeting(Connection& conn) {
  if (options().login_storm && conn.role() == Connection::Role::kMember &&
      phase() == Phase::kSetup) {
    conn.set_stage(Connection::Stage::kGreeted);
    Settle();
    return;
  }
  StartLogin(conn);
}

void BrelvintDriver::StartLogin(Connection& conn) {
  SendLoginStep(conn, 1);
  if (options().pipelined_login) {
    SendLoginStep(conn, 2);
    SendLoginStep(conn, 3);
  }
  conn.set_stage(Connection::Stage::kAwaitNetworkReply);
}

void BrelvintDriver::SendLoginStep(Connection& conn, int step) {
  bool bulk = conn.role() == Connection::Role::kBulk;
  switch (step) {
    case 1:
      AppendBrelvintPacket(&conn.output(), kSendNetwork,
                           bulk ? options().bulk_network : options().network);
      break;
    case 2:
      AppendBrelvintPacket(&conn.output(), kSendPassword, bulk ? bulk_digest_ : digest_);
      break;
    default:
      AppendBrelvintPacket(&conn.output(), kSendName, NameOf(conn));
  }
  Queue(conn);
}

void BrelvintDriver::OnLoginReply(Connection& conn, int step, std::string_view reply) {
  if (conn.stage() != AwaitingReplyTo(step)) {
    CountUnexpected();
    return;
  }
  if (reply != kOk) {
    LoginAnswered(conn, step);
    return;
  }
  if (step == 3) {
    LoginAnswered(conn, 0);
    return;
  }
  if (!options().pipelined_login) SendLoginStep(conn, step + 1);
  conn.set_stage(AwaitingReplyTo(step + 1));
}

void BrelvintDriver::QueueReport(uint32_t reporter, int64_t sequence, int64_t now_us) {
  char payload[kMaxReportText];
  size_t length = FormatReportText(payload, now_us, sequence, reporter);
  Connection& conn = At(reporter);
  AppendBrelvintPacket(&conn.output(), kSendPosition, std::string_view(payload, length));
  Queue(conn);
}

}  // namespace brelvint
