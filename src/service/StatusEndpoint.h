#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "http/OperatorServer.h"
#include "service/StatusReport.h"

namespace brelvint {

class App;

// The operators' endpoint of the service: the status page (GET /), the
// status document (GET /status.json), the Prometheus text (GET /metrics)
// and the facet pictures (GET /maps/facet-<n>.png, from the folder
// "brelvint-maps" in the data folder). Owned by App, which must outlive
// it; made, started and destroyed on the loop thread.
class StatusEndpoint {
 public:
  static constexpr const char kAddressKey[] = "StatusAddress";
  static constexpr const char kTokenKey[] = "StatusToken";
  static constexpr const char kDefaultAddress[] = "127.0.0.1:12080";
  static constexpr const char kMapsFolder[] = "brelvint-maps";
  // Larger pictures are not served: a facet map is a few megabytes at most.
  static constexpr std::uintmax_t kMaxPictureBytes = 32u << 20;

  static constexpr const char kListeningLog[] = "Status page listening on http://{}/";
  static constexpr const char kOffLog[] = "Status page off: StatusAddress is empty.";
  static constexpr const char kBadAddressLog[] =
      "Status page not started: StatusAddress \"{}\" is not host:port.";
  static constexpr const char kNotStartedLog[] = "Status page not started: {}.";

  explicit StatusEndpoint(App& app);
  StatusEndpoint(const StatusEndpoint&) = delete;
  StatusEndpoint& operator=(const StatusEndpoint&) = delete;

  // Reads StatusAddress and StatusToken (storing neither) and starts
  // serving; logs one line saying where it listens, or why it does not.
  void Start();

 private:
  OperatorServer::Reply Picture(const std::string& path) const;

  App& app_;
  StatusReport report_;
  std::optional<std::filesystem::path> maps_;
  OperatorServer server_;
};

}  // namespace brelvint
