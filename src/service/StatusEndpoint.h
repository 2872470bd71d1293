#pragma once

#include <boost/asio/thread_pool.hpp>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "http/OperatorServer.h"
#include "http/SharedReply.h"
#include "service/OperatorActions.h"
#include "service/StatusReport.h"

namespace brelvint {

class App;

// The operators' endpoint of the service: the status page (GET /), the
// status document (GET /status.json), the Prometheus text (GET /metrics),
// the page's scripts and style sheets (GET /status.js, /status.css,
// /leaflet.js, /leaflet.css, answered without the token) and the facet
// pictures (GET /maps/facet-<n>.png, from the folder
// "brelvint-maps" in the data folder). Served on the loop; the two
// documents are built at most once per kDocumentPeriod and shared, their
// formatting and the picture reads done on one worker thread, so scrapers
// never hold up the relay. Owned by App, which must outlive it; made,
// applied and destroyed on the loop thread.
class StatusEndpoint {
 public:
  static constexpr const char kAddressKey[] = "StatusAddress";
  static constexpr const char kTokenKey[] = "StatusToken";
  static constexpr const char kDefaultAddress[] = "127.0.0.1:12080";
  static constexpr const char kMapsFolder[] = "brelvint-maps";
  // Larger pictures are not served: a facet map is a few megabytes at most.
  static constexpr std::uintmax_t kMaxPictureBytes = 32u << 20;
  static constexpr const char kPictureTooLargeLog[] =
      "Status page: {} is {} bytes, over the {} a picture may have; it is not served.";
  static constexpr std::chrono::milliseconds kDocumentPeriod{1000};
  // The page's buttons (POST, JSON body; see OperatorServer::SetActions):
  // {"network", "name", "reason"} for a kick or a ban, {"network", "text"}
  // for a broadcast. Answered with OperatorActions' outcome as JSON: 200
  // done, 404 no such member or network, 400 not understood.
  static constexpr const char kKickPath[] = "/action/kick";
  static constexpr const char kBanPath[] = "/action/ban";
  static constexpr const char kBroadcastPath[] = "/action/broadcast";

  static constexpr const char kListeningLog[] = "Status page listening on http://{}/";
  static constexpr const char kOffLog[] = "Status page off: StatusAddress is empty.";
  static constexpr const char kBadAddressLog[] =
      "Status page not started: StatusAddress \"{}\" is not host:port.";
  static constexpr const char kNotStartedLog[] = "Status page not started: {}.";
  static constexpr const char kTokenChangedLog[] = "Status page token changed.";

  explicit StatusEndpoint(App& app);
  ~StatusEndpoint();
  StatusEndpoint(const StatusEndpoint&) = delete;
  StatusEndpoint& operator=(const StatusEndpoint&) = delete;

  // Reads StatusAddress and StatusToken from App's settings (storing
  // neither) and applies them: at start, and again at each reload, when a
  // changed address rebinds (empty switches the endpoint off) and a changed
  // token takes effect for the next request. Each change logs one line.
  void Apply();
  // Tries to listen again when the configured address could not be bound
  // (another program held it): at each reload and every half minute. A
  // failure already logged is not logged again.
  void RetryIfDown();
  // Closes the endpoint and all its connections, for good: a lookup under
  // way, a reload or a retry starts nothing afterwards.
  void Stop();

 private:
  void Route(const std::string& path, OperatorServer::Answer answer);
  void Act(OperatorServer::Action action, OperatorServer::Answer answer);
  void Picture(const std::string& path, OperatorServer::Answer answer);
  struct PictureCache;
  // On the worker: the picture's bytes from the cache or the file; null
  // when it cannot be served, with `refusal` set to a line to log once.
  static std::shared_ptr<const std::string> ReadPicture(const std::filesystem::path& file,
                                                        PictureCache& cache, std::string* refusal);
  void Listen(const std::string& address_text, const std::string& token);

  App& app_;
  StatusReport report_;
  std::optional<std::filesystem::path> maps_;
  std::shared_ptr<const std::string> page_;
  // The page's scripts and style sheets by path: their type and text.
  std::unordered_map<std::string, std::pair<const char*, std::shared_ptr<const std::string>>>
      assets_;
  asio::thread_pool worker_{1};
  SharedReply json_;
  SharedReply metrics_;
  OperatorServer server_;
  std::optional<std::string> address_;  // as last applied
  std::string token_;
  std::string last_failure_;  // the last "not started" line, logged once
  // Names a StatusAddress by host name: looked up off the loop (Asio runs
  // getaddrinfo on a thread of its own), then bound.
  asio::ip::tcp::resolver resolver_;
  // Starts the endpoint on the address found, with the token in force now;
  // nothing when the settings moved on or the endpoint was stopped meanwhile.
  void Resolved(const std::string& address_text, const OperatorAddress& address,
                const boost::system::error_code& ec,
                const asio::ip::tcp::resolver::results_type& results);
  // Counts the lookups begun: only the latest one's answer is used.
  uint64_t lookups_ = 0;
  bool stopped_ = false;  // Stop was called: nothing starts again
  // Lets picture reads that finish after the endpoint is gone find that out.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  // Each picture read once and shared by every reply until its file
  // changes: readers that never read would otherwise each hold a copy.
  // Touched only on the worker thread.
  struct CachedPicture {
    std::string identity;  // device, inode, size, change and modification times
    std::shared_ptr<const std::string> bytes;
  };
  struct PictureCache {
    std::unordered_map<std::string, CachedPicture> pictures;
    std::unordered_set<std::string> refused;  // too large: logged once per identity
  };
  std::shared_ptr<PictureCache> picture_cache_ = std::make_shared<PictureCache>();
  std::unique_ptr<OperatorActions> actions_;
};

}  // namespace brelvint
