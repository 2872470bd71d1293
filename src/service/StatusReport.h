#pragma once

#include <memory>
#include <string>
#include <vector>

namespace brelvint {

class MapSocket;
class ServerNetworks;

// What the operators' endpoint shows, built from the network records, the
// listeners and the process counters (Metrics): the status document (JSON)
// and the Prometheus text. Call on the loop thread only; it reads state
// that only the loop may touch. Borrows both lists, which must outlive it.
// Passwords are never part of either text.
class StatusReport {
 public:
  StatusReport(const std::vector<std::unique_ptr<ServerNetworks>>& networks,
               const std::vector<std::shared_ptr<MapSocket>>& listeners)
      : networks_(networks), listeners_(listeners) {}

  // {"connections": N, "networks": [{"name", "port", "enabled", "maxUsers",
  // "currentUsers", "members": [...]}]}; each member with its name,
  // address, position, facet, hp, battle and death flags, seconds
  // connected and the location lookup's city and country.
  std::string Json() const;
  // The Prometheus text exposition format, version 0.0.4.
  std::string Prometheus() const;

  static constexpr const char kJsonType[] = "application/json";
  static constexpr const char kPrometheusType[] = "text/plain; version=0.0.4; charset=utf-8";

 private:
  size_t Connections() const;

  const std::vector<std::unique_ptr<ServerNetworks>>& networks_;
  const std::vector<std::shared_ptr<MapSocket>>& listeners_;
};

}  // namespace brelvint
