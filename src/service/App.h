#pragma once

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/FolderLock.h"
#include "base/LogFileLock.h"
#include "client/LookupServices.h"
#include "config/AppSettings.h"
#include "config/NetworkFileWriter.h"
#include "config/ServerNetworks.h"
#include "hub/MapSocket.h"
#include "hub/PasswordGuard.h"
#include "hub/StrangerGuard.h"
#include "protocol/Asio.h"
#include "protocol/EventLoop.h"
#include "service/SystemdNotifier.h"

namespace brelvint {

class BanStore;
class ClientSocket;
class ControlSocket;
class HttpClient;
class StatusEndpoint;

// The one application object: the start-up sequence, the main loop and the
// lifecycle requests. It owns the settings, the network records (stable
// addresses: connections point at them), the listeners, the ban store and
// the password guard. A network a reload removed, and a listener it
// stopped, are freed once no connection refers to them; everything else
// lives until the process ends.
class App {
 public:
  static constexpr int kMaxConnectionsPerListener = 100000;
  // How often a listener that could not bind its port (and the operators'
  // endpoint) tries again; every reload tries at once as well.
  static constexpr std::chrono::seconds kListenRetryPeriod{30};
  // How long a stop waits for queued replies to reach their peers.
  static constexpr std::chrono::seconds kStopFlushLimit{2};
  // How long a stop waits for the logins still to be written to network
  // files, and a reload for those it must see in the files it rereads.
  static constexpr std::chrono::seconds kStopWriteLimit{5};
  static constexpr std::chrono::seconds kReloadWriteLimit{2};

  App();
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Starts the service and runs its main loop until Stop. Returns the
  // process's exit status: 0 after a stop request, 1 when start-up failed
  // (one line on standard error says why).
  int Run();
  // Why a start on `folder` would be refused because it lies in a system
  // folder (/usr/bin and the like) and no --data-dir was given; none when
  // it would not. `brelvint --check` refuses the same.
  static std::optional<std::string> SystemFolderRefusal(const std::filesystem::path& folder);
  void Pause();
  void Resume();
  void Stop();

  // One pass of the event loop: handlers, polls, then a wait of at most
  // `milliseconds` when nothing is queued.
  void DoEvents(int milliseconds) { loop_.DoEvents(milliseconds); }
  EventLoop& Loop() { return loop_; }

  volatile std::sig_atomic_t blnStop = false;
  std::unique_ptr<AppSettings> mySettings;
  std::vector<std::unique_ptr<ServerNetworks>> Networks;
  std::unique_ptr<BanStore> serverdb;
  // Declared before the listeners, which borrow it.
  PasswordGuard password_guard;
  // What each address may take before its connections log in, for every
  // listener ("MaxConnectionsPerAddress", "MaxNewNamesPerAddress").
  StrangerGuard stranger_guard;
  std::vector<std::shared_ptr<MapSocket>> sSockets;

 private:
  // Settings read at start and compared at each reload.
  static constexpr const char kAttachedNICKey[] = "AttachedNIC";
  static constexpr const char kListenAddressKey[] = "ListenAddress";

  void WatchSignals();
  void FinishRun();
  // Rereads the settings and the network folder and applies the difference
  // without ending the connections of networks that stay.
  void Reload();
  void ReloadSettings();
  // Hands the logins recorded so far to the network file writer; unless
  // `wait`, those it cannot take at once stay for the next pass.
  void HandOverEdits(bool wait);
  // Hands them over and waits (kReloadWriteLimit at most) until they are
  // in their files.
  void CommitAllEdits();
  void RemoveVanishedNetworks(const std::vector<std::unique_ptr<ServerNetworks>>& fresh,
                              const std::vector<ServerNetworks*>& kept);
  // Keeps `listener` listening on behalf of another loaded network on its
  // port, or stops it when none is left.
  void KeepOrStopListener(MapSocket& listener);
  void ApplyDefinition(std::unique_ptr<ServerNetworks> definition);
  // Who had administrator rights before the records were replaced.
  struct Rights {
    std::shared_ptr<ClientSocket> connection;
    bool was_admin;
  };
  std::vector<Rights> CurrentRights() const;
  void RecheckMembers(const std::vector<Rights>& before);
  // Frees the retired networks and stopped listeners no connection refers
  // to any more; runs again a second later while any is left.
  void FreeRetired();
  void ScheduleFreeRetired();
  void ReadLookupServices();
  // The listeners' addresses: "ListenAddress" when set, else the address
  // of the "AttachedNIC" interface (stored on first use).
  const std::string& BindAddress();
  // Starts `network`'s own listener. A port from 1 to 65535 is needed
  // (one line says so otherwise, and none is started). A port one of our
  // listeners holds is served by that one; a port held by another program
  // is tried again later (RetryListeners). False when nothing listens for it.
  bool StartListener(ServerNetworks& network);
  // Listens again with every listener (and the endpoint) whose bind failed.
  void RetryListeners();
  void ScheduleListenRetry();
  // False (one line on standard error, naming the other process) when
  // another server holds the data folder or the log file.
  bool TakeFolderLock();
  // False (one line on standard error saying what to do instead) for a
  // start that would leave the service unable to run: as root on another
  // account's data folder, or with the data folder in a system folder.
  bool StartAllowed();
  // Removes the temporary files of network-file writes an earlier run
  // left behind (its stop could not wait for a hung disk), and only those.
  void RemoveStaleTemporaryFiles();
  void OpenBanStore();
  void RaiseDescriptorLimit();
  void StartListeners();
  MapSocket::MemberFactory ConnectionFactory();

  EventLoop loop_;
  asio::signal_set signals_;
  std::unique_ptr<HttpClient> http_;
  LookupServices lookup_services_;
  std::optional<std::string> bind_address_;
  // The "AttachedNIC" value bind_address_ was found from.
  std::optional<std::string> bound_nic_;
  // The "ListenAddress" value read with it ("": AttachedNIC rules).
  std::string bound_listen_address_;
  // Networks taken off the air by a reload; kept while connections may
  // still point at them.
  std::vector<std::unique_ptr<ServerNetworks>> retired_networks_;
  FolderLock folder_lock_;         // held until the process ends
  LogFileLock log_lock_;           // likewise
  NetworkFileWriter file_writer_;  // writes the logins to network files
  // "MaxRegisteredUsers", read at start.
  int64_t max_registered_users_ = ServerNetworks::kDefaultMaxRegisteredUsers;
  asio::steady_timer free_retired_;
  asio::steady_timer listen_retry_;
  bool flag_service_noted_ = false;         // the unused "FlagService" was logged
  std::unique_ptr<StatusEndpoint> status_;  // the operators' endpoint, once listening
  std::unique_ptr<ControlSocket> control_;  // the command line's way in, once listening
  SystemdNotifier notifier_;
};

// The process's App, for main.cpp. (The object is an App; the accessor has
// its own name because C++ cannot give a function and a class the same one.)
App& TheApp();

}  // namespace brelvint
