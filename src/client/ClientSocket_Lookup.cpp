#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "client/ClientSocket.h"
#include "client/LocationPage.h"
#include "client/Picture.h"
#include "http/HttpClient.h"
#include "hub/MapSocket.h"

namespace brelvint {

namespace {

constexpr const char kLocationPath[] = "/IpLocator.htm?GetLocation&template=php3.txt&IpAddress=";
constexpr const char kFlagPath[] = "/flag.php?ip=";
constexpr std::chrono::seconds kLocationInactivity{2};
constexpr std::chrono::seconds kFlagInactivity{5};

// A file only this process can open, so concurrent lookups never share
// one and nobody can swap a link in. Empty when none could be made.
std::string MakePrivateFile() {
  std::error_code ec;
  auto folder = std::filesystem::temp_directory_path(ec);
  if (ec) return {};
  std::string pattern = (folder / "bv_flag-XXXXXX").string();
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return {};
  ::close(fd);
  return pattern;
}

}  // namespace

// The lookup runs on the event loop without blocking it: the greeting
// follows when it ends, and other connections are served meanwhile.
void ClientSocket::GetClientInfo() {
  HttpClient* http = myParent->Http;
  if (http == nullptr || myParent->LocationService.empty()) {
    FetchFlag();
    return;
  }
  std::weak_ptr<TCPSocket> weak = weak_from_this();
  std::string url = myParent->LocationService + kLocationPath + RemoteAddress();
  lookup_ = http->GetText(url, kLocationInactivity, [weak](std::string page) {
    auto self = std::static_pointer_cast<ClientSocket>(weak.lock());
    if (!self) return;
    self->lookup_ = 0;
    if (!self->IsConnected()) return;
    LocationPage location = LocationPage::Parse(page);
    self->ClientCountry = std::move(location.Country);
    self->ClientState = std::move(location.State);
    self->ClientCity = std::move(location.City);
    self->ClientZip = std::move(location.Zip);
    self->ClientTimeZone = std::move(location.TimeZone);
    self->FetchFlag();
  });
}

void ClientSocket::FetchFlag() {
  HttpClient* http = myParent->Http;
  if (http == nullptr || myParent->FlagService.empty() || (flag_file_ = MakePrivateFile()).empty()) {
    Greet();
    return;
  }
  std::weak_ptr<TCPSocket> weak = weak_from_this();
  std::string url = myParent->FlagService + kFlagPath + RemoteAddress();
  lookup_ = http->GetToFile(url, flag_file_, kFlagInactivity, [weak](bool ended) {
    auto self = std::static_pointer_cast<ClientSocket>(weak.lock());
    if (!self) return;
    self->lookup_ = 0;
    if (ended) {
      if (auto picture = Picture::FromFile(self->flag_file_)) {
        self->ClientFlag = std::make_shared<const Picture>(std::move(*picture));
      }
    }
    std::filesystem::remove(self->flag_file_);
    std::string().swap(self->flag_file_);
    self->Greet();
  });
}

void ClientSocket::CancelLookup() {
  if (lookup_ != 0 && myParent->Http != nullptr) myParent->Http->Cancel(lookup_);
  lookup_ = 0;
  if (!flag_file_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(flag_file_, ignored);
    std::string().swap(flag_file_);
  }
}

}  // namespace brelvint
