#include <filesystem>

#include "client/ClientSocket.h"
#include "client/LocationPage.h"
#include "http/HttpClient.h"
#include "hub/MapSocket.h"

namespace brelvint {

namespace {

constexpr const char kLocationPath[] = "/IpLocator.htm?GetLocation&template=php3.txt&IpAddress=";
constexpr std::chrono::seconds kLocationInactivity{2};

std::shared_ptr<ClientSocket> Lock(const std::weak_ptr<TCPSocket>& weak) {
  return std::static_pointer_cast<ClientSocket>(weak.lock());
}

}  // namespace

const ClientSocket::Location& ClientSocket::ClientLocation() const {
  static const Location kNothing;
  return lookup_ ? lookup_->found : kNothing;
}

ClientSocket::Location& ClientSocket::MutableLocation() {
  if (!lookup_) lookup_ = std::make_unique<Lookup>();
  return lookup_->found;
}

void ClientSocket::StartLookup() {
  if (!lookup_) lookup_ = std::make_unique<Lookup>();
  lookup_->running = true;
}

void ClientSocket::EndLookup() {
  if (!lookup_) return;
  const Location& found = lookup_->found;
  if (found.ClientCity.empty() && found.ClientCountry.empty() && found.ClientState.empty() &&
      found.ClientTimeZone.empty() && found.ClientZip.empty()) {
    lookup_.reset();
    return;
  }
  lookup_->running = false;
  lookup_->request = 0;
}

// The lookup runs on the event loop without blocking it: the greeting
// follows when it ends, and other connections are served meanwhile.
void ClientSocket::GetClientInfo() {
  HttpClient* http = lookup_services_.Http;
  if (http == nullptr || lookup_services_.LocationService.empty()) {
    Greet();
    return;
  }
  StartLookup();
  std::string url = lookup_services_.LocationService + kLocationPath + RemoteAddress();
  auto done = [weak = weak_from_this()](std::string page) {
    auto self = Lock(weak);
    if (!self || !self->LookupRunning()) return;
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
    self->EndLookup();
    self->Greet();
  };
  lookup_->request = http->GetText(url, kLocationInactivity, done);
}

void ClientSocket::CancelLookup() {
  if (!LookupRunning()) return;
  if (lookup_->request != 0 && lookup_services_.Http != nullptr)
    lookup_services_.Http->Cancel(lookup_->request);
  EndLookup();
}

}  // namespace brelvint
