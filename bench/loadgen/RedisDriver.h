#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "LoadDriver.h"
#include "RespMessage.h"

namespace brelvint {

// Does the same job over Redis pub/sub, for comparison: every member
// subscribes to one channel, every reporter also has a publishing
// connection, and the published payload is what Brelvint relays
// ("<name>|X,Y,Facet,HP,InBattle,IsDead"). A subscriber gets its own reports
// back; those are ignored so both systems are counted alike.
class RedisDriver : public LoadDriver {
 public:
  explicit RedisDriver(const LoadgenOptions& options);

 protected:
  void OnConnected(Connection& conn) override;
  std::optional<size_t> OnInput(Connection& conn, const char* data, size_t size) override;
  void StartLogin(Connection& conn) override;
  void QueueReport(uint32_t reporter, int64_t sequence, int64_t now_us) override;
  uint32_t ExtraConnections() const override { return options().reporters; }
  bool EchoesOwnReports() const override { return true; }

 private:
  void OnSubscriberMessage(Connection& conn, const RespMessage& message);
  void OnPublisherReply(const RespMessage& message);

  std::vector<std::string> reporter_names_;
};

}  // namespace brelvint
