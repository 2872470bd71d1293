#include "service/App.h"

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "base/TextNumber.h"
#include "client/ClientSocket.h"
#include "config/AtomicFile.h"
#include "config/LoadNetworks.h"
#include "config/ServerNetworks.h"
#include "http/HttpClient.h"
#include "hub/BanStore.h"
#include "hub/MapSocket.h"
#include "service/ControlSocket.h"
#include "service/NetworkInterface.h"
#include "service/StatusEndpoint.h"

namespace brelvint {

using modGlobal::EscapeForLog;
using modGlobal::LogMessage;

namespace {

constexpr const char kNoNetworkServed[] =
    "No network could be served: every listener failed to start. Exiting.";
constexpr const char kSystemFolderRefusal[] =
    "the executable lies in {}, a system folder, and would keep its settings, networks and "
    "database there; give the data folder with --data-dir DIR (the service uses "
    "/var/lib/brelvint); not starting.";
constexpr const char kRootRefusal[] =
    "the data folder {0} belongs to {1}, and files a start as root makes there would lock "
    "{1} out; run it as {1} (sudo -u {1} brelvint --data-dir {0}) or start the service "
    "(systemctl start brelvint); not starting.";
constexpr const char kBadListenAddress[] = "ListenAddress: {}; not starting.";
constexpr const char kBadPort[] =
    "Network {}: port {} is not a port from 1 to 65535; not listening";
constexpr const char kMaxRegisteredUsers[] = "MaxRegisteredUsers";
constexpr const char kFlagServiceKey[] = "FlagService";
constexpr const char kFlagServiceUnused[] =
    "FlagService is set but no longer used: no flag picture is fetched, and no player's "
    "address goes to that service.";
constexpr const char kSocketBackend[] = "Socket back end: ";
constexpr const char kStaleTemporaryRemoved[] =
    "Removed stale temporary file {} from {} (a write cut short by an earlier stop)";

constexpr const char kMaxConnectionsPerAddress[] = "MaxConnectionsPerAddress";
constexpr const char kMaxNewNamesPerAddress[] = "MaxNewNamesPerAddress";

// A limit of the settings; absent, empty, negative or not a whole number:
// `fallback`.
int64_t LimitSetting(const AppSettings& settings, const char* key, int64_t fallback) {
  std::string value = settings.Peek(key);
  int64_t limit = TextNumber::Leading(value);
  if (!TextNumber::IsNumeric(value) || limit < 0) return fallback;
  return limit;
}

}  // namespace

App::App()
    : signals_(loop_.Context()),
      free_retired_(loop_.Context()),
      listen_retry_(loop_.Context()),
      notifier_(loop_.Context()) {}

App::~App() = default;

App& TheApp() {
  static App* app = new App();  // never destroyed: nothing is torn down at exit
  return *app;
}

void App::Pause() { LogMessage("Life waits for no man."); }

void App::Resume() { LogMessage("CHARGE!"); }

void App::Stop() {
  if (!blnStop) notifier_.Stopping();
  blnStop = true;
}

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
        notifier_.Reloading();
        Reload();
        notifier_.Ready(sSockets);
        break;
      default:
        break;
    }
    WatchSignals();
  });
}

int App::Run() {
  try {
    // Before the log, the settings or anything else in the folder is
    // touched: a second server on the same folder must change nothing.
    if (!StartAllowed() || !TakeFolderLock()) return 1;
    for (int signal_number : {SIGTERM, SIGINT, SIGTSTP, SIGCONT, SIGHUP})
      signals_.add(signal_number);
    WatchSignals();

    LogMessage("Loading Settings...", true);
    mySettings = std::make_unique<AppSettings>();
    std::string settings_error;
    if (!mySettings->Load(&settings_error)) {
      // Nothing is written and nothing listens: the operator mends the file.
      LogMessage(settings_error);
      return 1;
    }

    max_registered_users_ =
        LimitSetting(*mySettings, kMaxRegisteredUsers, ServerNetworks::kDefaultMaxRegisteredUsers);
    stranger_guard.MaxConnectionsPerAddress = LimitSetting(
        *mySettings, kMaxConnectionsPerAddress, StrangerGuard::kDefaultMaxConnectionsPerAddress);
    stranger_guard.MaxNewNamesPerAddress = LimitSetting(
        *mySettings, kMaxNewNamesPerAddress, StrangerGuard::kDefaultMaxNewNamesPerAddress);
    LogMessage("Loading Networks...");
    RemoveStaleTemporaryFiles();
    modGlobal::LoadNetworks(Networks);
    OpenBanStore();

    LogMessage("Initializing Sockets...");
    LogMessage(kSocketBackend + loop_.Backend());
    RaiseDescriptorLimit();
    StartListeners();
    bool listening = std::any_of(sSockets.begin(), sSockets.end(),
                                 [](const auto& listener) { return listener->IsListening(); });
    if (!Networks.empty() && !listening) {
      // Nothing to serve: a service manager must see the failure.
      LogMessage(kNoNetworkServed);
      serverdb->Close();
      return 1;
    }
    // Before "Listening...": an operator's command run once the start says
    // so finds the socket; the status page's line stays the one after it.
    control_ = std::make_unique<ControlSocket>(*this);
    control_->Open(*Paths::DataFolder());
    LogMessage("Listening...");
    mySettings->Save();
    status_ = std::make_unique<StatusEndpoint>(*this);
    status_->Apply();
    ScheduleListenRetry();
    notifier_.Ready(sSockets);

    // The logins of a pass go to the writer together; their replies do not
    // wait for the files.
    file_writer_.Start();
    loop_.AddPassEndHook([this] { HandOverEdits(false); });

    while (!blnStop) DoEvents(10);
    FinishRun();
    status_.reset();  // its worker thread ends before the process does
    serverdb->Close();
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
  if (control_) control_->Close();  // the file goes with it
  for (auto& listener : sSockets) listener->StopListening();
  loop_.Drain(kStopFlushLimit, [this] {
    for (auto& listener : sSockets) {
      for (auto& connection : listener->ActiveConnections()) {
        if (connection->PendingOutput() > 0) return true;
      }
    }
    return false;
  });
  // What could not be written within the limit is logged login by login.
  HandOverEdits(true);
  file_writer_.Stop(kStopWriteLimit);
}

bool App::TakeFolderLock() {
  auto folder = Paths::DataFolder();
  if (!folder) throw std::runtime_error("cannot find the executable's folder");
  std::error_code ec;
  if (!std::filesystem::is_directory(*folder, ec)) {
    throw std::runtime_error("the data folder " + folder->string() + " is not a folder");
  }
  std::string refusal;
  auto log = modGlobal::LogFilePath();
  if (folder_lock_.Take(*folder, &refusal) && (!log || log_lock_.Take(*log, &refusal))) {
    // Where `brelvint bans lift` writes its line, as an administrator's
    // lift is logged here.
    if (log) folder_lock_.Note(log->string() + "\n");
    return true;
  }
  std::fprintf(stderr, "brelvint: %s\n", refusal.c_str());
  return false;
}

bool App::StartAllowed() {
  auto folder = Paths::DataFolder();
  if (!folder) return true;  // TakeFolderLock says why
  std::string refusal;
  if (auto system = SystemFolderRefusal(*folder)) {
    refusal = *system;
  } else if (auto owner = Paths::OtherOwnerWhenRoot(*folder)) {
    // Files made by root would leave the service's own account locked out.
    refusal = fmt::format(kRootRefusal, folder->string(), *owner);
  } else {
    return true;
  }
  std::fprintf(stderr, "brelvint: %s\n", refusal.c_str());
  return false;
}

std::optional<std::string> App::SystemFolderRefusal(const std::filesystem::path& folder) {
  if (Paths::DataFolderGiven() || !Paths::IsSystemFolder(folder)) return std::nullopt;
  return fmt::format(kSystemFolderRefusal, folder.string());
}

void App::RemoveStaleTemporaryFiles() {
  auto folder = Paths::DataFolder();
  if (!folder) return;
  const auto networks = *folder / modGlobal::kNetworkFolderName;
  for (const std::string& name : AtomicFile::RemoveStale(networks, modGlobal::IsNetworkFileName)) {
    LogMessage(
        fmt::format(kStaleTemporaryRemoved, EscapeForLog(name), EscapeForLog(networks.string())));
  }
}

void App::OpenBanStore() {
  auto folder = Paths::DataFolder();
  if (!folder) throw std::runtime_error("cannot find the data folder for the ban database");
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
  // No flag picture is fetched: it was shown nowhere, and each fetch sent
  // a player's address to one more service.
  if (!mySettings->Peek(kFlagServiceKey).empty() && !flag_service_noted_) {
    LogMessage(kFlagServiceUnused);
    flag_service_noted_ = true;
  }
  bool wanted = !lookup_services_.LocationService.empty();
  // Once made, the client stays: lookups under way hold on to it.
  if (wanted && !http_) http_ = std::make_unique<HttpClient>(loop_.Context());
  lookup_services_.Http = http_.get();
}

const std::string& App::BindAddress() {
  if (!bind_address_) {
    bound_listen_address_ = mySettings->Peek(kListenAddressKey);
    if (!bound_listen_address_.empty()) {
      std::string error;
      if (!ServerSocket::ParseAddresses(bound_listen_address_, &error)) {
        throw std::runtime_error(fmt::format(kBadListenAddress, error));
      }
      bind_address_ = bound_listen_address_;
      return *bind_address_;
    }
    // Every listener binds to the same interface; enumerating the host's
    // interfaces once serves them all.
    auto interfaces = NetworkInterface::List();
    std::string first_mac = interfaces.empty() ? std::string() : interfaces.front().MACAddress;
    bound_nic_ = mySettings->GetValue(kAttachedNICKey, first_mac);
    auto nic = modGlobal::NICByMac(*bound_nic_);
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
  if (network.Port < 1 || network.Port > 65535) {
    // Binding port 0 would pick a random port and read as a success.
    std::string text = network.PortText.empty() ? "(none)" : EscapeForLog(network.PortText);
    LogMessage(fmt::format(kBadPort, EscapeForLog(network.NetworkName), text));
    return false;
  }
  auto listener = std::make_shared<MapSocket>(loop_, Networks, serverdb.get(), password_guard,
                                              ConnectionFactory());
  listener->NetworkInterface = BindAddress();
  listener->Port = network.Port;
  listener->MaximumSocketsConnected = kMaxConnectionsPerListener;
  listener->MaxRegisteredUsers = max_registered_users_;
  listener->LendStrangerGuard(stranger_guard);
  listener->Networks.push_back(&network);
  // Each address is bound on its own: one that another program holds, or
  // a VPN address not up yet, leaves the others serving.
  listener->Listen();
  if (listener->IsListening()) {
    sSockets.push_back(std::move(listener));
    return true;
  }
  for (auto& other : sSockets) {
    if (other->IsListening() && other->Port == network.Port) {
      // Our own listener holds the port: it serves this network too.
      other->Networks.push_back(&network);
      return true;
    }
  }
  // Another program holds the port: kept, and tried again later.
  sSockets.push_back(std::move(listener));
  return false;
}

void App::ScheduleListenRetry() {
  listen_retry_.expires_after(kListenRetryPeriod);
  listen_retry_.async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;
    RetryListeners();
    ScheduleListenRetry();
  });
}

void App::RetryListeners() {
  for (auto& listener : sSockets) {
    if (listener->AwaitsRetry()) listener->Listen();
  }
  if (status_) status_->RetryIfDown();
  // `systemctl status` shows the count as it now stands.
  notifier_.Status(sSockets);
}

void App::HandOverEdits(bool wait) {
  // The writer's thread runs at a lower priority: a pass never waits for
  // it, as a preempted writer holding its mutex would hold up every player.
  for (auto& network : Networks) {
    if (!network->HasPendingEdits()) continue;
    if (wait) {
      network->CommitEdits(file_writer_);
    } else {
      network->OfferEdits(file_writer_);
    }
  }
  file_writer_.ReportToLog();
}

void App::CommitAllEdits() {
  HandOverEdits(true);
  file_writer_.Flush(kReloadWriteLimit);
}

}  // namespace brelvint
