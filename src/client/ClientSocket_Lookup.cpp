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

std::shared_ptr<ClientSocket> Lock(const std::weak_ptr<TCPSocket>& weak) {
  return std::static_pointer_cast<ClientSocket>(weak.lock());
}

}  // namespace

const ClientSocket::Location& ClientSocket::ClientLocation() const {
  static const Location kNothing;
  return location_ ? *location_ : kNothing;
}

ClientSocket::Location& ClientSocket::MutableLocation() {
  if (!location_) location_ = std::make_unique<Location>();
  return *location_;
}

// The lookup runs on the event loop without blocking it: the greeting
// follows when it ends, and other connections are served meanwhile.
void ClientSocket::GetClientInfo() {
  HttpClient* http = myParent->Http;
  if (http == nullptr || myParent->LocationService.empty()) {
    FetchFlag();
    return;
  }
  lookup_ = std::make_unique<Lookup>();
  std::string url = myParent->LocationService + kLocationPath + RemoteAddress();
  lookup_->request = http->GetText(url, kLocationInactivity, [weak = weak_from_this()](std::string page) {
    auto self = Lock(weak);
    if (!self || !self->lookup_) return;
    self->lookup_->request = 0;
    if (!self->IsConnected()) return;
    LocationPage found = LocationPage::Parse(page);
    if (!found.Country.empty() || !found.State.empty() || !found.City.empty() ||
        !found.Zip.empty() || !found.TimeZone.empty()) {
      Location& location = self->MutableLocation();
      location.ClientCountry = std::move(found.Country);
      location.ClientState = std::move(found.State);
      location.ClientCity = std::move(found.City);
      location.ClientZip = std::move(found.Zip);
      location.ClientTimeZone = std::move(found.TimeZone);
    }
    self->FetchFlag();
  });
}

void ClientSocket::FetchFlag() {
  HttpClient* http = myParent->Http;
  std::string flag_file;
  if (http == nullptr || myParent->FlagService.empty() || (flag_file = MakePrivateFile()).empty()) {
    lookup_.reset();
    Greet();
    return;
  }
  if (!lookup_) lookup_ = std::make_unique<Lookup>();
  lookup_->flag_file = flag_file;
  std::string url = myParent->FlagService + kFlagPath + RemoteAddress();
  lookup_->request = http->GetToFile(url, flag_file, kFlagInactivity, [weak = weak_from_this()](bool ended) {
    auto self = Lock(weak);
    if (!self || !self->lookup_) return;
    const std::string& file = self->lookup_->flag_file;
    if (ended) {
      if (auto picture = Picture::FromFile(file)) {
        self->MutableLocation().ClientFlag = std::make_shared<const Picture>(std::move(*picture));
      }
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    self->lookup_.reset();
    self->Greet();
  });
}

void ClientSocket::CancelLookup() {
  if (!lookup_) return;
  if (lookup_->request != 0 && myParent->Http != nullptr) myParent->Http->Cancel(lookup_->request);
  if (!lookup_->flag_file.empty()) {
    std::error_code ignored;
    std::filesystem::remove(lookup_->flag_file, ignored);
  }
  lookup_.reset();
}

}  // namespace brelvint
