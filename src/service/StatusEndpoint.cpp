#include "service/StatusEndpoint.h"

#include <fstream>
#include <iterator>

#include <fmt/format.h>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "service/App.h"
#include "service/StatusPageAsset.h"

namespace brelvint {

namespace {

constexpr const char kHtmlType[] = "text/html; charset=utf-8";
constexpr const char kPngType[] = "image/png";
constexpr const char kTextType[] = "text/plain; charset=utf-8";
constexpr const char kPicturePattern[] = R"(/maps/facet-\d{1,9}\.png)";
constexpr const char kPicturePrefix[] = "/maps/";
constexpr const char kNoPicture[] = "no such picture\n";

}  // namespace

StatusEndpoint::StatusEndpoint(App& app)
    : app_(app), report_(app.Networks, app.sSockets), server_(app.Loop()) {
  auto folder = Paths::DataFolder();
  if (folder) maps_ = *folder / kMapsFolder;
}

void StatusEndpoint::Start() {
  using modGlobal::LogMessage;
  const auto& values = app_.mySettings->Values;
  // Absent means the default; present but empty means no endpoint at all.
  bool configured = values.count(kAddressKey) != 0;
  std::string text = configured ? app_.mySettings->Peek(kAddressKey) : kDefaultAddress;
  if (text.empty()) {
    LogMessage(kOffLog);
    return;
  }
  auto address = OperatorAddress::Parse(text);
  if (!address) {
    LogMessage(fmt::format(kBadAddressLog, modGlobal::EscapeForLog(text)));
    return;
  }
  server_.Get("/", [] { return OperatorServer::Reply{200, kHtmlType, kStatusPageHtml}; });
  server_.Get("/status.json", [this] {
    return OperatorServer::Reply{200, StatusReport::kJsonType, report_.Json()};
  });
  server_.Get("/metrics", [this] {
    return OperatorServer::Reply{200, StatusReport::kPrometheusType, report_.Prometheus()};
  });
  server_.GetFile(kPicturePattern, [this](const std::string& path) { return Picture(path); });
  std::string why;
  if (!server_.Start(*address, app_.mySettings->Peek(kTokenKey), &why)) {
    LogMessage(fmt::format(kNotStartedLog, why));
    return;
  }
  LogMessage(fmt::format(kListeningLog, address->ToString()));
}

// Runs on a worker thread: it reads only the pictures folder.
OperatorServer::Reply StatusEndpoint::Picture(const std::string& path) const {
  OperatorServer::Reply missing{404, kTextType, kNoPicture};
  if (!maps_) return missing;
  // The route's pattern allows only "facet-<digits>.png" here.
  std::filesystem::path file = *maps_ / path.substr(std::char_traits<char>::length(kPicturePrefix));
  std::error_code error;
  auto size = std::filesystem::file_size(file, error);
  if (error || size > kMaxPictureBytes) return missing;
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) return missing;
  return OperatorServer::Reply{200, kPngType, std::move(bytes)};
}

}  // namespace brelvint
