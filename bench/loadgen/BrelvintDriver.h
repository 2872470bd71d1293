#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "BrelvintPacket.h"
#include "LoadDriver.h"

namespace brelvint {

// Speaks Brelvint's protocol for the LoadDriver: waits for the greeting,
// logs in with the three steps (network, password digest, user name), sends
// position reports and reads relayed ones.
class BrelvintDriver : public LoadDriver {
 public:
  explicit BrelvintDriver(const LoadgenOptions& options);

 protected:
  void OnConnected(Connection& conn) override;
  std::optional<size_t> OnInput(Connection& conn, const char* data, size_t size) override;
  void StartLogin(Connection& conn) override;
  void QueueReport(uint32_t reporter, int64_t sequence, int64_t now_us) override;

 private:
  void Dispatch(Connection& conn, const BrelvintPacket& packet);
  void OnGreeting(Connection& conn);
  // A reply to login step `step` (1..3).
  void OnLoginReply(Connection& conn, int step, std::string_view reply);
  // Queues login step `step` (1..3) of conn.
  void SendLoginStep(Connection& conn, int step);

  std::string digest_;       // raw MD5 of the measured network's password
  std::string bulk_digest_;  // raw MD5 of the bulk network's password
};

}  // namespace brelvint
