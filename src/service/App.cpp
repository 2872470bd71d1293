#include "service/App.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "base/TextCase.h"
#include "client/ClientSocket.h"
#include "config/LoadNetworks.h"
#include "config/ServerNetworks.h"
#include "http/HttpClient.h"
#include "hub/BanStore.h"
#include "hub/MapSocket.h"
#include "service/NetworkInterface.h"
#include "service/StatusEndpoint.h"

namespace brelvint {

using modGlobal::EscapeForLog;
using modGlobal::LogMessage;

namespace {

constexpr const char kAttachedNIC[] = "AttachedNIC";
constexpr const char kReloading[] = "Reloading Networks...";
constexpr const char kNetworkAdded[] = "Network Added: ";
constexpr const char kNetworkChanged[] = "Network Changed: ";
constexpr const char kNetworkRemoved[] = "Network Removed: ";
constexpr const char kNetworkKept[] = "Network Kept As It Was (its file could not be read): ";
constexpr const char kAttachedNICNeedsRestart[] =
    "AttachedNIC changed: listeners keep their interface until the next start.";

}  // namespace

App::App() : signals_(loop_.Context()) {}

App::~App() = default;

App& TheApp() {
  static App* app = new App();  // never destroyed: nothing is torn down at exit
  return *app;
}

void App::Pause() { LogMessage("Life waits for no man."); }

void App::Resume() { LogMessage("CHARGE!"); }

void App::Stop() { blnStop = true; }

void App::WatchSignals() {
  signals_.async_wait([this](const boost::system::error_code& ec, int signal_number) {
    if (ec) return;
    switch (signal_number) {
      case SIGTERM:
      case SIGINT:
        Stop();
        break;
      case SIGTSTP:
        Pause();
        break;
      case SIGCONT:
        Resume();
        break;
      case SIGHUP:
        Reload();
        break;
      default:
        break;
    }
    WatchSignals();
  });
}

int App::Run() {
  try {
    for (int signal_number : {SIGTERM, SIGINT, SIGTSTP, SIGCONT, SIGHUP})
      signals_.add(signal_number);
    WatchSignals();

    LogMessage("Loading Settings...", true);
    mySettings = std::make_unique<AppSettings>();
    mySettings->Load();

    LogMessage("Loading Networks...");
    modGlobal::LoadNetworks(Networks);
    OpenBanStore();

    LogMessage("Initializing Sockets...");
    RaiseDescriptorLimit();
    StartListeners();
    LogMessage("Listening...");
    mySettings->Save();
    status_ = std::make_unique<StatusEndpoint>(*this);
    status_->Apply();

    // Logins answered in one pass share one write of their network file,
    // made before any of their replies leaves.
    loop_.AddPassEndHook([this] { CommitAllEdits(); });

    while (!blnStop) DoEvents(10);
    FinishRun();
    status_.reset();  // its worker thread ends before the process does
    LogMessage("Received quit signal.  Exiting.");
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "brelvint: %s\n", failure.what());
    return 1;
  }
}

void App::FinishRun() {
  // Logins answered in the last passes are written to their files and their
  // replies sent before the process ends; new connections are not taken.
  // The operators' endpoint closes at once, its slow clients with it.
  if (status_) status_->Stop();
  for (auto& listener : sSockets) listener->StopListening();
  loop_.Drain(kStopFlushLimit, [this] {
    for (auto& listener : sSockets) {
      for (auto& connection : listener->ActiveConnections()) {
        if (connection->PendingOutput() > 0) return true;
      }
    }
    return false;
  });
}

void App::OpenBanStore() {
  auto folder = Paths::ExecutableFolder();
  if (!folder) throw std::runtime_error("cannot find the executable's folder for the ban database");
  serverdb = std::make_unique<BanStore>(*folder / BanStore::kFileName);
}

void App::RaiseDescriptorLimit() {
  // Every connection is a descriptor; the default soft limit (often 1024)
  // would cap a listener far below its connection limit.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = static_cast<rlim_t>(kMaxConnectionsPerListener) * (Networks.size() + 1) + 64;
  if (limit.rlim_max != RLIM_INFINITY) wanted = std::min(wanted, limit.rlim_max);
  if (wanted > limit.rlim_cur) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

MapSocket::MemberFactory App::ConnectionFactory() {
  return [this](EventLoop& loop, MapSocket& listener) {
    return std::make_shared<ClientSocket>(loop, &listener, lookup_services_);
  };
}

void App::ReadLookupServices() {
  // Read without storing a default: a settings file only gains these keys
  // when an operator adds them.
  auto base_url = [this](const char* key) {
    std::string url = mySettings->Peek(key);
    while (!url.empty() && url.back() == '/') url.pop_back();  // the paths bring their own
    return url;
  };
  lookup_services_.LocationService = base_url("LocationService");
  lookup_services_.FlagService = base_url("FlagService");
  bool wanted = !lookup_services_.LocationService.empty() || !lookup_services_.FlagService.empty();
  // Once made, the client stays: lookups under way hold on to it.
  if (wanted && !http_) http_ = std::make_unique<HttpClient>(loop_.Context());
  lookup_services_.Http = http_.get();
}

const std::string& App::BindAddress() {
  if (!bind_address_) {
    // Every listener binds to the same interface; enumerating the host's
    // interfaces once serves them all.
    auto interfaces = NetworkInterface::List();
    std::string first_mac = interfaces.empty() ? std::string() : interfaces.front().MACAddress;
    auto nic = modGlobal::NICByMac(mySettings->GetValue(kAttachedNIC, first_mac));
    bind_address_ = nic ? nic->IPv4 : std::string();
  }
  return *bind_address_;
}

void App::StartListeners() {
  ReadLookupServices();
  // No network asks for an interface: "AttachedNIC" stays unset.
  for (size_t i = 0, count = Networks.size(); i < count; ++i) StartListener(*Networks[i]);
}

bool App::StartListener(ServerNetworks& network) {
  auto listener = std::make_shared<MapSocket>(loop_, Networks, serverdb.get(), ConnectionFactory());
  listener->NetworkInterface = BindAddress();
  listener->Port = network.Port;
  listener->MaximumSocketsConnected = kMaxConnectionsPerListener;
  listener->Networks.push_back(&network);
  if (!listener->Listen()) return false;
  sSockets.push_back(std::move(listener));
  return true;
}

// Reloading.

void App::Reload() {
  LogMessage(kReloading);
  CommitAllEdits();  // the reread must see every login recorded so far
  ReloadSettings();
  if (status_) status_->Apply();  // StatusAddress and StatusToken
  auto folder = Paths::ExecutableFolder();
  std::vector<std::unique_ptr<ServerNetworks>> fresh;
  std::vector<std::filesystem::path> unreadable;
  modGlobal::LoadNetworks(
      folder ? *folder / modGlobal::kNetworkFolderName : std::filesystem::path(), fresh,
      &unreadable);
  // Networks whose file is there but unreadable stay exactly as they are.
  std::vector<ServerNetworks*> kept;
  for (auto& network : Networks) {
    if (std::find(unreadable.begin(), unreadable.end(), network->Path) != unreadable.end()) {
      kept.push_back(network.get());
      LogMessage(kNetworkKept + EscapeForLog(network->NetworkName));
    }
  }
  RemoveVanishedNetworks(fresh, kept);
  for (auto& definition : fresh) ApplyDefinition(std::move(definition));
  RecheckMembers();
}

void App::ReloadSettings() {
  auto settings = std::make_unique<AppSettings>(mySettings->File());
  settings->Load();
  std::string attached = mySettings->Peek(kAttachedNIC);
  if (settings->Peek(kAttachedNIC) != attached) {
    LogMessage(kAttachedNICNeedsRestart);
    settings->SetValue(kAttachedNIC, attached);  // what the listeners are bound to
  }
  mySettings = std::move(settings);
  ReadLookupServices();
}

void App::CommitAllEdits() {
  for (auto& network : Networks) {
    if (network->HasPendingEdits()) network->CommitEdits();
  }
}

void App::RemoveVanishedNetworks(const std::vector<std::unique_ptr<ServerNetworks>>& fresh,
                                 const std::vector<ServerNetworks*>& kept) {
  for (size_t i = 0; i < Networks.size();) {
    ServerNetworks* network = Networks[i].get();
    auto same = std::find_if(fresh.begin(), fresh.end(), [&](const auto& definition) {
      return TextCase::Equal(definition->NetworkName, network->NetworkName) &&
             definition->Port == network->Port;
    });
    bool stays = same != fresh.end() || std::find(kept.begin(), kept.end(), network) != kept.end();
    if (stays) {
      ++i;
      continue;
    }
    LogMessage(kNetworkRemoved + EscapeForLog(network->NetworkName));
    // Connections point at the record until they are gone: it is retired,
    // not destroyed, and no longer found by name.
    retired_networks_.push_back(std::move(Networks[i]));
    Networks.erase(Networks.begin() + static_cast<std::ptrdiff_t>(i));
    for (auto& listener : sSockets) {
      listener->RemoveNetwork(*network);
      listener->EndNetwork(*network);  // members that came through other listeners
      if (listener->Networks.empty() && listener->IsListening()) listener->StopListening();
    }
  }
}

void App::ApplyDefinition(std::unique_ptr<ServerNetworks> definition) {
  ServerNetworks* current = ServerNetworks::Named(Networks, definition->NetworkName);
  if (current != nullptr) {
    if (current->SameDefinition(*definition)) return;
    LogMessage(kNetworkChanged + EscapeForLog(definition->NetworkName));
    current->ReplaceDefinition(std::move(*definition));
    return;
  }
  LogMessage(kNetworkAdded + EscapeForLog(definition->NetworkName));
  Networks.push_back(std::move(definition));
  StartListener(*Networks.back());
}

void App::RecheckMembers() {
  for (auto& listener : sSockets) {
    for (auto& connection : listener->Connections()) {
      std::static_pointer_cast<ClientSocket>(connection)->RecheckUser();
    }
  }
}

}  // namespace brelvint
