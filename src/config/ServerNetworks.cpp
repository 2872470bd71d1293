#include "config/ServerNetworks.h"

#include <algorithm>
#include <unordered_map>

#include "config/NetworkFile.h"
#include "base/TextCase.h"
#include "base/LogMessage.h"

namespace brelvint {

// Records of Users by NameKey, in Users order. The records are owned by
// Users, which only ever grows, so the pointers stay valid.
struct ServerNetworks::UserIndex {
  std::unordered_map<std::string, std::vector<MapperUser*>> by_name;
};

ServerNetworks::ServerNetworks() : index_(std::make_unique<UserIndex>()) {}
ServerNetworks::~ServerNetworks() = default;

void ServerNetworks::AddUserToNetwork(const std::string& userName, const std::string& address) {
  if (Path.empty()) return;
  if (!file_ || file_->Path() != Path) {
    CommitEdits();  // logins already recorded belong to the file they were read from
    file_ = std::make_unique<NetworkFile>(Path);
  }
  if (file_->RecordLogin(userName, address) != NetworkFile::Login::kAdded) return;
  auto user = std::make_shared<MapperUser>();
  user->Name = userName;
  user->LastIP = address;
  user->Path = Path;
  Users.push_back(user);
  IndexUser(user);
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

bool ServerNetworks::SameDefinition(const ServerNetworks& other) const {
  auto same_user = [](const std::shared_ptr<MapperUser>& a, const std::shared_ptr<MapperUser>& b) {
    return a->Name == b->Name && a->LastIP == b->LastIP && a->IsAdmin == b->IsAdmin &&
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
  Users = std::move(fresh.Users);
  index_ = std::move(fresh.index_);
  fresh.index_ = std::make_unique<UserIndex>();
  file_.reset();  // the next login reads the file afresh
}

MapperUser* ServerNetworks::FindUser(std::string_view name, std::string_view address) const {
  auto it = index_->by_name.find(NetworkFile::NameKey(name));
  if (it == index_->by_name.end()) return nullptr;
  for (MapperUser* user : it->second) {
    if (TextCase::Equal(user->LastIP, address)) return user;
  }
  return nullptr;
}

void ServerNetworks::IndexUser(const std::shared_ptr<MapperUser>& user) {
  if (user) index_->by_name[NetworkFile::NameKey(user->Name)].push_back(user.get());
}

}  // namespace brelvint
