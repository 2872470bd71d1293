#include "service/StatusEndpoint.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <boost/asio/post.hpp>
#include <cctype>
#include <fstream>
#include <iterator>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "service/App.h"
#include "service/StatusPageAsset.h"

namespace brelvint {

namespace {

constexpr const char kHtmlType[] = "text/html; charset=utf-8";
constexpr const char kScriptType[] = "text/javascript; charset=utf-8";
constexpr const char kStyleType[] = "text/css; charset=utf-8";

// The page's scripts and style sheets: served without the token (the
// browser asks for them without the page's query), as they hold nothing
// of the server's.
struct Asset {
  const char* path;
  const char* type;
  const char* text;
};
constexpr Asset kAssets[] = {
    {"/status.js", kScriptType, kStatusPageScript},
    {"/status.css", kStyleType, kStatusPageStyle},
    {"/leaflet.js", kScriptType, kLeafletScript},
    {"/leaflet.css", kStyleType, kLeafletStyle},
};
constexpr const char kPngType[] = "image/png";
constexpr const char kPicturePrefix[] = "/maps/facet-";
constexpr const char kPictureSuffix[] = ".png";
constexpr size_t kMaxFacetDigits = 9;
constexpr const char kNoPicture[] = "no such picture\n";
constexpr const char kNotFound[] = "not found\n";

// "/maps/facet-<1 to 9 digits>.png": the only file names ever read.
bool IsPicturePath(std::string_view path) {
  std::string_view prefix = kPicturePrefix, suffix = kPictureSuffix;
  if (path.size() <= prefix.size() + suffix.size() || path.substr(0, prefix.size()) != prefix ||
      path.substr(path.size() - suffix.size()) != suffix) {
    return false;
  }
  std::string_view digits = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  if (digits.size() > kMaxFacetDigits) return false;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

StatusEndpoint::StatusEndpoint(App& app)
    : app_(app),
      report_(app.Networks, app.sSockets),
      page_(std::make_shared<const std::string>(kStatusPageHtml)),
      json_(
          app.Loop().Context(), worker_, StatusReport::kJsonType,
          [this] { return report_.JsonSnapshot(); }, kDocumentPeriod),
      metrics_(
          app.Loop().Context(), worker_, StatusReport::kPrometheusType,
          [this] { return report_.PrometheusSnapshot(); }, kDocumentPeriod),
      server_(app.Loop().Context(),
              [this](const std::string& path, OperatorServer::Answer answer) {
                Route(path, std::move(answer));
              }),
      resolver_(app.Loop().Context()) {
  std::vector<std::string> public_paths;
  for (const Asset& asset : kAssets) {
    assets_.emplace(asset.path,
                    std::make_pair(asset.type, std::make_shared<const std::string>(asset.text)));
    public_paths.emplace_back(asset.path);
  }
  server_.SetPublicPaths(std::move(public_paths));
  actions_ = std::make_unique<OperatorActions>(app_);
  server_.SetActions({kKickPath, kBanPath, kBroadcastPath},
                     [this](OperatorServer::Action action, OperatorServer::Answer answer) {
                       Act(std::move(action), std::move(answer));
                     });
  auto folder = Paths::DataFolder();
  if (folder) maps_ = *folder / kMapsFolder;
}

StatusEndpoint::~StatusEndpoint() {
  *alive_ = false;
  server_.Stop();
}

void StatusEndpoint::Apply() {
  const auto& values = app_.mySettings->Values;
  // Absent means the default; present but empty means no endpoint at all.
  bool configured = values.count(kAddressKey) != 0;
  std::string address = configured ? app_.mySettings->Peek(kAddressKey) : kDefaultAddress;
  std::string token = app_.mySettings->Peek(kTokenKey);
  if (address_ == address && token == token_) return;
  if (address_ == address && server_.Running() && server_.SetToken(token)) {
    token_ = token;
    modGlobal::LogMessage(kTokenChangedLog);
    return;
  }
  // Otherwise start over: a new address, a changed token for an endpoint
  // that is not running, or a token emptied off loopback (which leaves
  // nothing it may answer). The line logged says where it listens or why not.
  server_.Stop();
  address_ = address;
  token_ = token;
  Listen(address, token);
}

void StatusEndpoint::Listen(const std::string& address_text, const std::string& token) {
  using modGlobal::LogMessage;
  if (stopped_) return;
  if (address_text.empty()) {
    LogMessage(kOffLog);
    return;
  }
  auto address = OperatorAddress::Parse(address_text);
  if (!address) {
    LogMessage(fmt::format(kBadAddressLog, modGlobal::EscapeForLog(address_text)));
    return;
  }
  if (OperatorServer::NeedsLookup(address->Host)) {
    // An earlier lookup's answer no longer applies. A cancel does not reach
    // one that finished and waits to be run: the number tells it.
    resolver_.cancel();
    uint64_t lookup = ++lookups_;
    resolver_.async_resolve(address->Host, std::to_string(address->Port),
                            asio::ip::tcp::resolver::passive,
                            [this, alive = alive_, lookup, address_text, address = *address](
                                const boost::system::error_code& ec,
                                const asio::ip::tcp::resolver::results_type& results) {
                              if (ec == asio::error::operation_aborted || !*alive) return;
                              if (lookup != lookups_) return;
                              Resolved(address_text, address, ec, results);
                            });
    return;
  }
  std::string why;
  if (!server_.Start(*address, token, &why)) {
    std::string line = fmt::format(kNotStartedLog, why);
    if (line != last_failure_) LogMessage(line);
    last_failure_ = line;
    return;
  }
  last_failure_.clear();
  LogMessage(fmt::format(kListeningLog, address->ToString()));
}

void StatusEndpoint::Resolved(const std::string& address_text, const OperatorAddress& address,
                              const boost::system::error_code& ec,
                              const asio::ip::tcp::resolver::results_type& results) {
  // The settings may have moved on while the name was looked up, and a stop
  // may have closed the endpoint: it starts only with what is in force now,
  // the token included.
  if (stopped_ || !address_ || *address_ != address_text || server_.Running()) return;
  const std::string& token = token_;
  if (ec || results.empty()) {
    std::string line = fmt::format(kNotStartedLog, "cannot resolve " + address.Host + ": " +
                                                       (ec ? ec.message() : "no address"));
    if (line != last_failure_) modGlobal::LogMessage(line);
    last_failure_ = line;
    return;
  }
  OperatorAddress bound{results.begin()->endpoint().address().to_string(), address.Port};
  std::string why;
  if (!server_.Start(bound, token, &why)) {
    std::string line = fmt::format(kNotStartedLog, why);
    if (line != last_failure_) modGlobal::LogMessage(line);
    last_failure_ = line;
    return;
  }
  last_failure_.clear();
  modGlobal::LogMessage(fmt::format(kListeningLog, address.ToString()));
}

void StatusEndpoint::RetryIfDown() {
  if (!address_ || address_->empty() || server_.Running()) return;
  if (!OperatorAddress::Parse(*address_)) return;  // said once; only an edit mends it
  Listen(*address_, token_);
}

void StatusEndpoint::Stop() {
  stopped_ = true;
  ++lookups_;  // a lookup under way starts nothing
  resolver_.cancel();
  server_.Stop();
}

void StatusEndpoint::Act(OperatorServer::Action action, OperatorServer::Answer answer) {
  auto reply = [](const OperatorActions::Outcome& outcome) {
    OperatorServer::Reply json;
    json.Status = outcome.status == 0 ? 200 : outcome.status == 1 ? 404 : 400;
    json.ContentType = "application/json";
    json.Body = std::make_shared<const std::string>(OperatorActions::Render(outcome));
    return json;
  };
  std::string error;
  auto request = OperatorActions::Parse(action.Body, &error);
  if (!request) {
    OperatorActions::Outcome bad;
    bad.status = 2;
    bad.text = "The request is not understood: " + error + ".";
    answer(reply(bad));
    return;
  }
  // The path says what to do; the page acts on one network at a time.
  request->command = action.Path.substr(action.Path.rfind('/') + 1);
  request->all = false;
  std::string who = "operator at " + action.Peer + " (status page)";
  actions_->Run(*request, who, [answer = std::move(answer), reply](OperatorActions::Outcome done) {
    answer(reply(done));
  });
}

void StatusEndpoint::Route(const std::string& path, OperatorServer::Answer answer) {
  if (path == "/") {
    answer(OperatorServer::Reply{200, kHtmlType, page_, {}});
  } else if (path == "/status.json") {
    json_.Get(std::move(answer));
  } else if (path == "/metrics") {
    metrics_.Get(std::move(answer));
  } else if (auto asset = assets_.find(path); asset != assets_.end()) {
    answer(OperatorServer::Reply{200, asset->second.first, asset->second.second, {}});
  } else if (IsPicturePath(path)) {
    Picture(path, std::move(answer));
  } else {
    answer(OperatorServer::Reply::Text(404, kNotFound));
  }
}

void StatusEndpoint::Picture(const std::string& path, OperatorServer::Answer answer) {
  if (!maps_) {
    answer(OperatorServer::Reply::Text(404, kNoPicture));
    return;
  }
  std::filesystem::path file = *maps_ / path.substr(std::char_traits<char>::length("/maps/"));
  // A picture may be megabytes: read on the worker, answered on the loop.
  asio::post(worker_, [file, answer = std::move(answer), alive = alive_, cache = picture_cache_,
                       &context = app_.Loop().Context()]() mutable {
    std::string refusal;
    auto bytes = ReadPicture(file, *cache, &refusal);
    OperatorServer::Reply reply = bytes ? OperatorServer::Reply{200, kPngType, bytes, {}}
                                        : OperatorServer::Reply::Text(404, kNoPicture);
    asio::post(context, [alive, answer = std::move(answer), reply = std::move(reply),
                         refusal = std::move(refusal)]() mutable {
      if (!refusal.empty()) modGlobal::LogMessage(refusal);
      if (*alive) answer(std::move(reply));
    });
  });
}

std::shared_ptr<const std::string> StatusEndpoint::ReadPicture(const std::filesystem::path& file,
                                                               PictureCache& cache,
                                                               std::string* refusal) {
  struct stat about {};
  if (::stat(file.c_str(), &about) != 0 || !S_ISREG(about.st_mode)) {
    cache.pictures.erase(file.string());
    return nullptr;
  }
  std::string identity = fmt::format("{}:{}:{}:{}.{}:{}.{}", about.st_dev, about.st_ino,
                                     about.st_size, about.st_mtim.tv_sec, about.st_mtim.tv_nsec,
                                     about.st_ctim.tv_sec, about.st_ctim.tv_nsec);
  auto cached = cache.pictures.find(file.string());
  if (cached != cache.pictures.end() && cached->second.identity == identity) {
    return cached->second.bytes;
  }
  cache.pictures.erase(file.string());  // changed: the old copy goes with its last reply
  auto size = static_cast<std::uintmax_t>(about.st_size);
  if (size > kMaxPictureBytes) {
    if (cache.refused.insert(identity).second) {
      *refusal = fmt::format(kPictureTooLargeLog, modGlobal::EscapeForLog(file.string()), size,
                             kMaxPictureBytes);
    }
    return nullptr;
  }
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return nullptr;
  if (bytes.size() > kMaxPictureBytes) return nullptr;  // grew while read
  auto shared = std::make_shared<const std::string>(std::move(bytes));
  cache.pictures[file.string()] = {identity, shared};
  return shared;
}

}  // namespace brelvint
