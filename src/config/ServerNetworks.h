#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/MapperUser.h"
#include "config/NetworkFile.h"

namespace brelvint {

class NetworkFileWriter;

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

  // The registered names a network takes unless the settings say otherwise
  // ("MaxRegisteredUsers").
  static constexpr int64_t kDefaultMaxRegisteredUsers = 100000;

  // Records a login. The records change at once: a name no record holds is
  // enrolled (a new record at the end of Users, at `address`), while known
  // users keep their records as read. The file follows: "LastIP" of every
  // matching "User" element becomes `address` (administrators' elements
  // keep theirs), or a new element enrols the name; CommitEdits hands the
  // logins to the writer, which writes them in the background. Does
  // nothing for a network without a file.
  void AddUserToNetwork(const std::string& userName, const std::string& address);
  bool HasPendingEdits() const { return !pending_.empty(); }
  // Hands the logins recorded since the last call to `writer`, for the
  // file they were recorded at.
  void CommitEdits(NetworkFileWriter& writer);
  // CommitEdits that never waits for the writer (see TrySubmit): logins it
  // could not hand over stay for the next call.
  void OfferEdits(NetworkFileWriter& writer);

  // True when a login under `name` may proceed: a record holds the name,
  // or the network holds fewer than `limit` records, so enrolling it keeps
  // the network within its registered names. When it may not, one line
  // says so, at most once a minute for this network.
  bool MayEnrol(std::string_view name, int64_t limit);
  // True when a record holds `name` (ignoring letter case): a login under
  // it enrols nothing.
  bool KnowsName(std::string_view name) const;
  // New names refused since the process started (a full network, a
  // connection or an address past its share), for the operators' figures.
  uint64_t EnrolmentsRefused = 0;

  // Applies to these records (a reread of the network file) the logins the
  // writer still holds for the file, as the file will look once they land:
  // every record of a login's name (ignoring letter case) but the
  // administrators' takes its address, and a name no record holds is
  // enrolled at the end of Users. So a reload compares and keeps what the
  // operator wrote, not what the writer has yet to write.
  void ApplyLogins(const std::vector<NetworkFile::Login>& logins);

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
  // CurrentUsers and the logins recorded but not yet handed to the writer.
  // The user records of the old definition are released: holders of their
  // addresses must look their user up again.
  void ReplaceDefinition(ServerNetworks&& fresh);

  // The first record of Users whose Name equals `name` and whose LastIP
  // equals `address`, both ignoring letter case; null when none.
  MapperUser* FindUser(std::string_view name, std::string_view address) const;
  // Keeps FindUser's index in step after a record was added to Users
  // directly (AddUserToNetwork does it itself). Cheap for a record now and
  // then (a login's enrolment), but a reader adding a whole file calls
  // IndexAllUsers once instead.
  void IndexUser(MapperUser* user);
  // Rebuilds FindUser's index from Users in one sort.
  void IndexAllUsers();

 private:
  using Logins = std::vector<NetworkFile::Login>;
  // Logins recorded and not yet handed to the writer, by the file they
  // were recorded at (one file, unless a reload moved the network).
  std::vector<std::pair<std::filesystem::path, Logins>> pending_;
  // When the last "new names are refused" line was written.
  std::chrono::steady_clock::time_point full_logged_{};
  bool full_logged_once_ = false;
  // The "LastIP" written at logins since the file was read, by NameKey of
  // the user name, where it differs from what the name's records hold (the
  // records keep the addresses read; administrators' elements keep theirs).
  std::unordered_map<std::string, std::string> written_addresses_;
  // The records of Users ordered by name (ignoring letter case), records
  // of one name in Users order: one pointer per user, where a hash map of
  // names would cost a node, a key copy and a list per user. The records
  // are owned by Users, which only ever grows, so the pointers stay valid.
  std::vector<MapperUser*> by_name_;
  // The records indexed since by_name_ last took them in, ordered the same
  // way; all of them come after by_name_'s in Users. An enrolment shifts
  // this short list, not an index of every user (a storm of new names on a
  // network of 300,000 spent a quarter of the loop moving by_name_), and
  // by_name_ takes the list in by one merge every kMergeEvery records.
  std::vector<MapperUser*> recent_by_name_;
  // The records of `name` in Users order: by_name_'s, then recent_by_name_'s.
  template <typename Visit>
  void ForEachNamed(std::string_view name, Visit visit) const;
  // True when every record of `name` that a login rewrites (all but the
  // administrators') holds exactly `address`.
  bool RecordsHoldAddress(std::string_view name, std::string_view address) const;
};

}  // namespace brelvint
