#include <fmt/format.h>
#include <malloc.h>

#include <algorithm>
#include <filesystem>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "base/TextCase.h"
#include "client/ClientSocket.h"
#include "config/LoadNetworks.h"
#include "config/ServerNetworks.h"
#include "hub/MapSocket.h"
#include "service/App.h"
#include "service/StatusEndpoint.h"

// App's reload of the network folder and the settings at SIGHUP, and the
// freeing of the networks and listeners a reload retired.

namespace brelvint {

using modGlobal::EscapeForLog;
using modGlobal::LogMessage;

namespace {

constexpr const char kReloading[] = "Reloading Networks...";
constexpr const char kNetworkAdded[] = "Network Added: ";
constexpr const char kNetworkChanged[] = "Network Changed: ";
constexpr const char kNetworkRemoved[] = "Network Removed: ";
constexpr const char kLoginsDropped[] =
    "Logins of removed network {} dropped: {} not yet written to {}";
constexpr const char kNetworkKept[] = "Network Kept As It Was (its file could not be read): ";
constexpr const char kSettingsMissing[] =
    "Settings File Missing (every setting stays in force; a start creates it): ";
constexpr const char kAttachedNICNeedsRestart[] =
    "AttachedNIC changed: listeners keep their interface until the next start.";
constexpr const char kListenAddressNeedsRestart[] =
    "ListenAddress changed: listeners keep their addresses until the next start.";

// A kept network's file still comes first: a later file of its name is
// skipped, as it is when both files can be read.
void SkipFilesNamingKeptNetworks(const std::vector<ServerNetworks*>& kept,
                                 std::vector<std::unique_ptr<ServerNetworks>>& fresh) {
  for (ServerNetworks* network : kept) {
    auto skipped = [network](const std::unique_ptr<ServerNetworks>& definition) {
      if (!TextCase::Equal(definition->NetworkName, network->NetworkName) ||
          definition->Path == network->Path) {
        return false;
      }
      modGlobal::LogSkippedFile(network->Path.filename().string(),
                                definition->Path.filename().string());
      return true;
    };
    fresh.erase(std::remove_if(fresh.begin(), fresh.end(), skipped), fresh.end());
  }
}

}  // namespace

// Reloading.

void App::Reload() {
  LogMessage(kReloading);
  CommitAllEdits();  // the reread must see every login recorded so far
  ReloadSettings();
  if (status_) status_->Apply();  // StatusAddress and StatusToken
  RetryListeners();
  auto folder = Paths::DataFolder();
  std::vector<std::unique_ptr<ServerNetworks>> fresh;
  std::vector<std::filesystem::path> unreadable;
  // A folder that cannot be listed, or has vanished, says nothing about the
  // networks: they all stay, as a network whose file cannot be read does.
  if (!modGlobal::LoadNetworks(
          folder ? *folder / modGlobal::kNetworkFolderName : std::filesystem::path(), fresh,
          &unreadable, false)) {
    return;
  }
  // Networks whose file is there but unreadable stay exactly as they are.
  std::vector<ServerNetworks*> kept;
  for (auto& network : Networks) {
    if (std::find(unreadable.begin(), unreadable.end(), network->Path) != unreadable.end()) {
      kept.push_back(network.get());
      LogMessage(kNetworkKept + EscapeForLog(network->NetworkName));
    }
  }
  SkipFilesNamingKeptNetworks(kept, fresh);
  // A write that failed (a full disk) or is slow leaves logins with the
  // writer: the reread is taken as the file will be once they land, so
  // only an operator's edit reads as a change and no enrolment is lost.
  // Only for the network that recorded them: a file now naming another
  // network does not take its logins. A network whose definition moved to
  // another file takes them along.
  for (auto& definition : fresh) {
    ServerNetworks* current = ServerNetworks::Named(Networks, definition->NetworkName);
    if (current == nullptr) continue;
    std::vector<NetworkFile::Login> pending = file_writer_.PendingFor(current->Path);
    if (pending.empty()) continue;
    definition->ApplyLogins(pending);
    if (current->Path != definition->Path) {
      file_writer_.Drop(current->Path);
      file_writer_.Submit(definition->Path, std::move(pending));
    }
  }
  // Rights are judged against the records a member logged in with, which
  // the new definitions replace.
  std::vector<Rights> rights = CurrentRights();
  RemoveVanishedNetworks(fresh, kept);
  for (auto& definition : fresh) ApplyDefinition(std::move(definition));
  RecheckMembers(rights);
  FreeRetired();
}

void App::ReloadSettings() {
  // A reload only reads: saving here would write back what the operator
  // just changed, or wipe a file he is still mending.
  std::string error;
  std::error_code ec;
  if (!std::filesystem::exists(mySettings->File(), ec)) {
    // Read as the defaults, it would move the endpoint and drop every key.
    LogMessage(kSettingsMissing + EscapeForLog(mySettings->File().string()));
    return;
  }
  if (!mySettings->Load(&error)) {
    LogMessage(error);  // every setting stays in force
    return;
  }
  // A file without the key changes nothing: the bound value is its default.
  if (bound_nic_ && mySettings->GetValue(kAttachedNICKey, *bound_nic_) != *bound_nic_) {
    LogMessage(kAttachedNICNeedsRestart);
  }
  if (bind_address_ && mySettings->Peek(kListenAddressKey) != bound_listen_address_) {
    LogMessage(kListenAddressNeedsRestart);
  }
  ReadLookupServices();
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
    // Its logins must never land in a file that takes its place.
    if (size_t dropped = file_writer_.Drop(network->Path); dropped > 0) {
      LogMessage(fmt::format(kLoginsDropped, EscapeForLog(network->NetworkName), dropped,
                             EscapeForLog(network->Path.string())));
    }
    // Connections point at the record until they are gone: it is retired,
    // not destroyed, and no longer found by name.
    retired_networks_.push_back(std::move(Networks[i]));
    Networks.erase(Networks.begin() + static_cast<std::ptrdiff_t>(i));
    for (auto& listener : sSockets) {
      listener->RemoveNetwork(*network);
      listener->EndNetwork(*network);  // members that came through other listeners
      if (listener->Networks.empty() && listener->IsListening()) KeepOrStopListener(*listener);
    }
  }
}

void App::KeepOrStopListener(MapSocket& listener) {
  // A network whose own listener could not bind its port (another network
  // holds it) is served by this one: stopping would shut its members out.
  for (auto& network : Networks) {
    if (network->Port == listener.Port) {
      listener.Networks.push_back(network.get());
      return;
    }
  }
  listener.StopListening();
}

void App::ApplyDefinition(std::unique_ptr<ServerNetworks> definition) {
  ServerNetworks* current = ServerNetworks::Named(Networks, definition->NetworkName);
  if (current != nullptr) {
    if (current->SameDefinition(*definition)) {
      // The file differs from the records only by the addresses logins
      // wrote: the records take them, as a changed network's would.
      if (current->HasWrittenAddresses()) current->ReplaceDefinition(std::move(*definition));
      return;
    }
    LogMessage(kNetworkChanged + EscapeForLog(definition->NetworkName));
    current->ReplaceDefinition(std::move(*definition));
    return;
  }
  LogMessage(kNetworkAdded + EscapeForLog(definition->NetworkName));
  Networks.push_back(std::move(definition));
  StartListener(*Networks.back());
}

std::vector<App::Rights> App::CurrentRights() const {
  std::vector<Rights> rights;
  for (const auto& listener : sSockets) {
    for (auto& connection : listener->Connections()) {
      auto client = std::static_pointer_cast<ClientSocket>(connection);
      bool was_admin = client->isAdmin();
      rights.push_back({std::move(client), was_admin});
    }
  }
  return rights;
}

void App::RecheckMembers(const std::vector<Rights>& before) {
  for (const Rights& rights : before) rights.connection->RecheckUser(rights.was_admin);
}

// Retired networks and listeners.

void App::ScheduleFreeRetired() {
  free_retired_.expires_after(std::chrono::seconds(1));
  free_retired_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) FreeRetired();
  });
}

void App::FreeRetired() {
  // A network's record, with every user record of its file, and a stopped
  // listener would otherwise stay for the life of the process: an operator
  // who adds and removes networks would see the service grow at each turn.
  std::vector<const ServerNetworks*> referred;
  for (const auto& listener : sSockets) {
    for (const auto& connection : listener->Connections())
      referred.push_back(connection->myNetwork);
  }
  auto in_use = [&](const std::unique_ptr<ServerNetworks>& network) {
    return std::find(referred.begin(), referred.end(), network.get()) != referred.end();
  };
  size_t networks_before = retired_networks_.size();
  retired_networks_.erase(std::remove_if(retired_networks_.begin(), retired_networks_.end(),
                                         [&](const auto& network) { return !in_use(network); }),
                          retired_networks_.end());
  // A listener waiting to retry its bind still serves its networks.
  sSockets.erase(std::remove_if(sSockets.begin(), sSockets.end(),
                                [](const auto& listener) {
                                  return !listener->IsListening() && !listener->AwaitsRetry() &&
                                         listener->ConnectionCount() == 0;
                                }),
                 sSockets.end());
  // Freed records lie between live allocations: without a trim the memory
  // would stay resident.
  if (retired_networks_.size() < networks_before) ::malloc_trim(0);
  bool stopped_left = std::any_of(sSockets.begin(), sSockets.end(), [](const auto& listener) {
    return !listener->IsListening() && !listener->AwaitsRetry();
  });
  if (!retired_networks_.empty() || stopped_left) ScheduleFreeRetired();
}

}  // namespace brelvint
