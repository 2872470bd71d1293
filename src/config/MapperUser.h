#pragma once

#include <filesystem>
#include <string>

namespace brelvint {

// One registered user of a network, as its network file lists it (or as a
// login enrolled it). A user flagged both admin and banned is one object
// held by several of its network's lists; those lists compare identity.
// Owned by its ServerNetworks through shared pointers; lives as long as the
// service.
struct MapperUser {
  std::string BanBy;
  std::string BanDate;
  std::string BanReason;
  bool IsAdmin = false;
  bool IsBanned = false;
  std::string LastIP;
  std::string Name;
  std::filesystem::path Path;
  std::string UniqueID;
};

}  // namespace brelvint
