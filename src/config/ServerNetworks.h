#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/MapperUser.h"

namespace brelvint {

class NetworkFile;

// One network, as its network file defines it. Owned by App until a reload
// removes the network and no connection refers to it any more (its address
// is stable: connections point at it, and two connections are on the same
// network exactly when they point at the same record). Users, Admins and Bans keep file order:
// Users owns the records, Admins and Bans point at records of Users, so an admin who is also banned
// is one object in three lists.
class ServerNetworks {
 public:
  ServerNetworks();
  ~ServerNetworks();
  ServerNetworks(const ServerNetworks&) = delete;
  ServerNetworks& operator=(const ServerNetworks&) = delete;

  // The first of `networks` whose name equals `name` ignoring case, enabled
  // or not; null when none. Logins and reloads find networks this way.
  static ServerNetworks* Named(const std::vector<std::unique_ptr<ServerNetworks>>& networks,
                               std::string_view name);

  std::vector<MapperUser*> Admins;
  std::vector<MapperUser*> Bans;
  int64_t CurrentUsers = 0;
  bool Enabled = false;
  int64_t MaxUsers = 0;
  std::string NetworkName;
  std::string Password;
  std::filesystem::path Path;  // the network file, held here once for all its users
  int64_t Port = 0;
  std::string PortText;  // the file's "port" as written, for the line refusing it
  std::vector<std::unique_ptr<MapperUser>> Users;

  // Records a login: "LastIP" of every matching "User" element of the file
  // becomes `address`, or a new element (and a new record at the end of
  // Users) enrols a name the file does not know. The file itself is written
  // by CommitEdits, so the logins of one loop pass share one write. Does
  // nothing, and logs nothing, when the file cannot be parsed.
  void AddUserToNetwork(const std::string& userName, const std::string& address);
  bool HasPendingEdits() const;
  // Writes the recorded logins to the file in one atomic replace. On
  // failure the old file stays, "Error adding user <name> to network
  // <network>" is logged for each login, and the next login reads the file
  // afresh.
  void CommitEdits();

  // True when `other` (a reread of this network's file) defines the same
  // network: name, password, limits, switch, port, file and users (names,
  // addresses and flags, in order). An address this service wrote to the
  // file at a login since the last read is no difference.
  bool SameDefinition(const ServerNetworks& other) const;
  // True when logins changed an address in the file since it was read, so
  // the records hold older addresses than the file does.
  bool HasWrittenAddresses() const { return !written_addresses_.empty(); }
  // Takes `fresh`'s definition (a reread of this network's file) while
  // keeping what the running service holds: this record's address, its
  // CurrentUsers and the logins recorded but not yet written. The user
  // records of the old definition are released: holders of their addresses
  // must look their user up again.
  void ReplaceDefinition(ServerNetworks&& fresh);

  // The first record of Users whose Name equals `name` and whose LastIP
  // equals `address`, both ignoring letter case; null when none.
  MapperUser* FindUser(std::string_view name, std::string_view address) const;
  // Keeps FindUser's index in step after a record was added to Users
  // directly (AddUserToNetwork does it itself). Costs a shift of the index,
  // so a reader adding a whole file calls IndexAllUsers once instead.
  void IndexUser(MapperUser* user);
  // Rebuilds FindUser's index from Users in one sort.
  void IndexAllUsers();

 private:
  std::unique_ptr<NetworkFile> file_;
  // The "LastIP" written at logins since the file was read, by NameKey of
  // the user name; the records keep the addresses read.
  std::unordered_map<std::string, std::string> written_addresses_;
  // The records of Users ordered by name (ignoring letter case), records
  // of one name in Users order: one pointer per user, where a hash map of
  // names would cost a node, a key copy and a list per user. The records
  // are owned by Users, which only ever grows, so the pointers stay valid.
  std::vector<MapperUser*> by_name_;
};

}  // namespace brelvint
