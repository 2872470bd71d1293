#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brelvint {

class MapSocket;
class ServerNetworks;

// What the operators' endpoint shows, built from the network records, the
// listeners and the process counters (Metrics): the status document (JSON)
// and the Prometheus text. Each is made in two steps: a snapshot, taken on
// the loop thread (it reads state only the loop may touch), returns the
// formatting, which reads only the snapshot and may run on any thread.
// Borrows both lists, which must outlive it. Passwords are never part of
// either text.
class StatusReport {
 public:
  using Format = std::function<std::string()>;

  StatusReport(const std::vector<std::unique_ptr<ServerNetworks>>& networks,
               const std::vector<std::shared_ptr<MapSocket>>& listeners)
      : networks_(networks), listeners_(listeners) {}

  // {"connections": N, "networks": [{"name", "port", "enabled", "maxUsers",
  // "currentUsers", "listener": {"listening", "address", "port", "error",
  // "since", "addresses": [{"address", "listening", "error", "since"}]},
  // "members": [...]}]}; "listening" is true while every address listens,
  // "error" names each failing address with its error; each member with its name,
  // address, position, facet, hp, battle and death flags, seconds
  // connected and the location lookup's city and country.
  Format JsonSnapshot() const;
  // The Prometheus text exposition format, version 0.0.4, with the
  // standard process series and brelvint_build_info.
  Format PrometheusSnapshot() const;

  // Both at once, on the calling thread.
  std::string Json() const { return JsonSnapshot()(); }
  std::string Prometheus() const { return PrometheusSnapshot()(); }

  // A label value as Prometheus reads it: backslash, double quote and line
  // feed escaped, and bytes that are not UTF-8 replaced by U+FFFD, as the
  // status document does.
  static std::string LabelValue(const std::string& text);
  // The `command` label of a client command number ("other" for numbers
  // without a name).
  static const char* CommandName(int32_t command);

  static constexpr const char kJsonType[] = "application/json";
  static constexpr const char kPrometheusType[] = "text/plain; version=0.0.4; charset=utf-8";

 private:
  size_t Connections() const;

  const std::vector<std::unique_ptr<ServerNetworks>>& networks_;
  const std::vector<std::shared_ptr<MapSocket>>& listeners_;
};

}  // namespace brelvint
