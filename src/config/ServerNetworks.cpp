#include "config/ServerNetworks.h"

#include <algorithm>

#include "config/NetworkFile.h"
#include "base/TextCase.h"
#include "base/LogMessage.h"

namespace brelvint {

namespace {

// Orders records, and names against records, the way by_name_ is sorted.
struct NameOrder {
  bool operator()(const MapperUser* a, const MapperUser* b) const {
    return NetworkFile::NameLess(a->Name, b->Name);
  }
  bool operator()(const MapperUser* a, std::string_view b) const {
    return NetworkFile::NameLess(a->Name, b);
  }
  bool operator()(std::string_view a, const MapperUser* b) const {
    return NetworkFile::NameLess(a, b->Name);
  }
};

}  // namespace

ServerNetworks::ServerNetworks() = default;
ServerNetworks::~ServerNetworks() = default;

void ServerNetworks::AddUserToNetwork(const std::string& userName, const std::string& address) {
  if (Path.empty()) return;
  if (!file_ || file_->Path() != Path) {
    CommitEdits();  // logins already recorded belong to the file they were read from
    file_ = std::make_unique<NetworkFile>(Path);
  }
  NetworkFile::Login login = file_->RecordLogin(userName, address);
  if (login == NetworkFile::Login::kUpdated) {
    written_addresses_[NetworkFile::NameKey(userName)] = address;
  }
  if (login != NetworkFile::Login::kAdded) return;
  auto user = std::make_unique<MapperUser>();
  user->Name = userName;
  user->LastIP = address;
  Users.push_back(std::move(user));
  IndexUser(Users.back().get());
}

bool ServerNetworks::HasPendingEdits() const { return file_ && file_->HasPendingEdits(); }

void ServerNetworks::CommitEdits() {
  if (!HasPendingEdits()) return;
  std::vector<std::string> lost;
  if (file_->Commit(&lost)) return;
  for (const std::string& name : lost) {
    modGlobal::LogMessage("Error adding user " + modGlobal::EscapeForLog(name) + " to network " +
                          modGlobal::EscapeForLog(NetworkName));
  }
}

ServerNetworks* ServerNetworks::Named(
    const std::vector<std::unique_ptr<ServerNetworks>>& networks, std::string_view name) {
  for (const auto& network : networks) {
    if (TextCase::Equal(network->NetworkName, name)) return network.get();
  }
  return nullptr;
}

bool ServerNetworks::SameDefinition(const ServerNetworks& other) const {
  // A "LastIP" the service itself wrote at a login is no change of the
  // operator's: it is what this record's reread must find. Logins never
  // write an administrator's.
  auto same_address = [this](const MapperUser& a, const MapperUser& b) {
    if (a.LastIP == b.LastIP) return true;
    if (a.IsAdmin) return false;
    auto written = written_addresses_.find(NetworkFile::NameKey(a.Name));
    return written != written_addresses_.end() && written->second == b.LastIP;
  };
  auto same_user = [&](const std::unique_ptr<MapperUser>& a, const std::unique_ptr<MapperUser>& b) {
    return a->Name == b->Name && same_address(*a, *b) && a->IsAdmin == b->IsAdmin &&
           a->IsBanned == b->IsBanned;
  };
  return NetworkName == other.NetworkName && Password == other.Password &&
         MaxUsers == other.MaxUsers && Enabled == other.Enabled && Port == other.Port &&
         Path == other.Path &&
         std::equal(Users.begin(), Users.end(), other.Users.begin(), other.Users.end(), same_user);
}

void ServerNetworks::ReplaceDefinition(ServerNetworks&& fresh) {
  CommitEdits();  // what was recorded belongs in the file that was reread
  Admins = std::move(fresh.Admins);
  Bans = std::move(fresh.Bans);
  Enabled = fresh.Enabled;
  MaxUsers = fresh.MaxUsers;
  NetworkName = std::move(fresh.NetworkName);
  Password = std::move(fresh.Password);
  Path = std::move(fresh.Path);
  Port = fresh.Port;
  PortText = std::move(fresh.PortText);
  Users = std::move(fresh.Users);
  by_name_ = std::move(fresh.by_name_);
  file_.reset();  // the next login reads the file afresh
  std::unordered_map<std::string, std::string>().swap(written_addresses_);
}

MapperUser* ServerNetworks::FindUser(std::string_view name, std::string_view address) const {
  auto range = std::equal_range(by_name_.begin(), by_name_.end(), name, NameOrder());
  for (auto it = range.first; it != range.second; ++it) {
    if (TextCase::Equal((*it)->LastIP, address)) return *it;
  }
  return nullptr;
}

void ServerNetworks::IndexUser(MapperUser* user) {
  if (user == nullptr) return;
  // After every record of the same name: they came first in Users.
  by_name_.insert(std::upper_bound(by_name_.begin(), by_name_.end(), user, NameOrder()), user);
}

void ServerNetworks::IndexAllUsers() {
  by_name_.clear();
  by_name_.reserve(Users.size());
  for (const auto& user : Users) by_name_.push_back(user.get());
  std::stable_sort(by_name_.begin(), by_name_.end(), NameOrder());
}

}  // namespace brelvint
