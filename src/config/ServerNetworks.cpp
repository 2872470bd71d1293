#include "config/ServerNetworks.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/LogMessage.h"
#include "base/TextCase.h"
#include "config/NetworkFileWriter.h"

namespace brelvint {

namespace {

constexpr const char kNetworkFull[] =
    "Network {} is full: {} registered names (MaxRegisteredUsers); new names are refused";
// A storm of new names against a full network writes one line this often.
constexpr std::chrono::minutes kFullLogInterval{1};
// Records indexed one at a time are merged into the main index this many at
// once (see recent_by_name_).
constexpr size_t kMergeEvery = 1024;

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
  // Logins stay with the file they were recorded at, should a reload move
  // the network to another before they are handed over.
  if (pending_.empty() || pending_.back().first != Path) pending_.emplace_back(Path, Logins());
  pending_.back().second.push_back({userName, address});
  if (KnowsName(userName)) {
    // What the file will hold for this name, so a reread of it is no change.
    // A player back from the address its records hold, the usual login,
    // leaves nothing to remember: thousands of online players would
    // otherwise each keep a name and an address here.
    if (!RecordsHoldAddress(userName, address)) {
      written_addresses_[NetworkFile::NameKey(userName)] = address;
    } else if (!written_addresses_.empty()) {
      written_addresses_.erase(NetworkFile::NameKey(userName));
    }
    return;
  }
  auto user = std::make_unique<MapperUser>();
  user->Name = userName;
  user->LastIP = address;
  Users.push_back(std::move(user));
  IndexUser(Users.back().get());
}

void ServerNetworks::ApplyLogins(const std::vector<NetworkFile::Login>& logins) {
  for (const NetworkFile::Login& login : logins) {
    bool known = false;
    ForEachNamed(login.name, [&](MapperUser* user) {
      known = true;
      if (!user->IsAdmin) user->LastIP = login.address;
      return false;
    });
    if (known) continue;
    auto user = std::make_unique<MapperUser>();
    user->Name = login.name;
    user->LastIP = login.address;
    Users.push_back(std::move(user));
    IndexUser(Users.back().get());
  }
}

void ServerNetworks::CommitEdits(NetworkFileWriter& writer) {
  for (auto& [path, logins] : pending_) writer.Submit(path, std::move(logins));
  pending_.clear();
}

void ServerNetworks::OfferEdits(NetworkFileWriter& writer) {
  auto taken = pending_.begin();
  while (taken != pending_.end() && writer.TrySubmit(taken->first, &taken->second)) ++taken;
  pending_.erase(pending_.begin(), taken);
}

bool ServerNetworks::MayEnrol(std::string_view name, int64_t limit) {
  if (static_cast<int64_t>(Users.size()) < limit) return true;
  if (KnowsName(name)) return true;
  auto now = std::chrono::steady_clock::now();
  if (!full_logged_once_ || now - full_logged_ >= kFullLogInterval) {
    full_logged_once_ = true;
    full_logged_ = now;
    modGlobal::LogMessage(
        fmt::format(kNetworkFull, modGlobal::EscapeForLog(NetworkName), Users.size()));
  }
  return false;
}

ServerNetworks* ServerNetworks::Named(const std::vector<std::unique_ptr<ServerNetworks>>& networks,
                                      std::string_view name) {
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
  recent_by_name_ = std::move(fresh.recent_by_name_);
  std::unordered_map<std::string, std::string>().swap(written_addresses_);
}

template <typename Visit>
void ServerNetworks::ForEachNamed(std::string_view name, Visit visit) const {
  for (const auto* index : {&by_name_, &recent_by_name_}) {
    auto range = std::equal_range(index->begin(), index->end(), name, NameOrder());
    for (auto it = range.first; it != range.second; ++it) {
      if (visit(*it)) return;
    }
  }
}

bool ServerNetworks::KnowsName(std::string_view name) const {
  bool known = false;
  ForEachNamed(name, [&known](MapperUser*) { return known = true; });
  return known;
}

bool ServerNetworks::RecordsHoldAddress(std::string_view name, std::string_view address) const {
  bool all_hold = true;
  ForEachNamed(name, [&](MapperUser* user) {
    if (!user->IsAdmin && user->LastIP != address) all_hold = false;
    return !all_hold;
  });
  return all_hold;
}

MapperUser* ServerNetworks::FindUser(std::string_view name, std::string_view address) const {
  MapperUser* found = nullptr;
  ForEachNamed(name, [&](MapperUser* user) {
    if (TextCase::Equal(user->LastIP, address)) found = user;
    return found != nullptr;
  });
  return found;
}

void ServerNetworks::IndexUser(MapperUser* user) {
  if (user == nullptr) return;
  // After every record of the same name: they came first in Users.
  recent_by_name_.insert(
      std::upper_bound(recent_by_name_.begin(), recent_by_name_.end(), user, NameOrder()), user);
  if (recent_by_name_.size() < kMergeEvery) return;
  // Stable: a name's older records, in by_name_, stay before its newer.
  auto middle = static_cast<std::ptrdiff_t>(by_name_.size());
  by_name_.insert(by_name_.end(), recent_by_name_.begin(), recent_by_name_.end());
  std::inplace_merge(by_name_.begin(), by_name_.begin() + middle, by_name_.end(), NameOrder());
  recent_by_name_.clear();
}

void ServerNetworks::IndexAllUsers() {
  recent_by_name_.clear();
  by_name_.clear();
  by_name_.reserve(Users.size());
  for (const auto& user : Users) by_name_.push_back(user.get());
  std::stable_sort(by_name_.begin(), by_name_.end(), NameOrder());
}

}  // namespace brelvint
