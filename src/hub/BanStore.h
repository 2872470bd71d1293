#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sqlite3.h>

namespace brelvint {

// The ban table `bans` in an SQLite file ("brelvint.db" in the data
// folder). Every statement is prepared with bound values; the file runs
// in write-ahead-log mode so a crash never corrupts it. Owned by App (as
// `serverdb`); used only on the event-loop thread.
class BanStore {
 public:
  static constexpr const char kFileName[] = "brelvint.db";

  struct Ban {
    int64_t id = 0;
    std::string address;
    std::string by;
    std::string reason;
    std::string bandate;  // "YYYY-MM-DD HH:MM:SS", local time
    int64_t banlength = 1;
    std::string network;
  };

  // Opens (creating when missing) the database and the table. Throws
  // std::runtime_error naming the file and SQLite's reason when it cannot.
  explicit BanStore(const std::filesystem::path& file);
  ~BanStore();
  BanStore(const BanStore&) = delete;
  BanStore& operator=(const BanStore&) = delete;

  // Adds one row stamped with the current local time; false (and
  // `error` set) when the insert failed.
  bool Insert(const std::string& address, const std::string& by, const std::string& reason,
              const std::string& network, std::string* error = nullptr);
  // Every row in id order; nullopt-like `false` when the query failed.
  bool All(std::vector<Ban>* rows) const;
  // Deletes the row with this id, if any. False only when SQLite failed.
  bool Delete(int64_t id);
  // The networks named by rows for this address (compared ignoring case).
  std::vector<std::string> NetworksBanning(const std::string& address) const;
  // True when a row bans this address on the named network (both ignoring case).
  bool IsBanned(const std::string& address, const std::string& network) const;

  const std::filesystem::path& File() const { return file_; }

  // Moves every change from the write-ahead log into the database file and
  // closes it, so that a copy of the file alone holds every ban. Called at
  // stop; nothing may use the store afterwards.
  void Close();

 private:
  struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
  };
  using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

  Statement Prepare(const char* sql) const;

  std::filesystem::path file_;
  std::unique_ptr<sqlite3, CloseDb> db_;
  Statement insert_;
  Statement select_all_;
  Statement delete_;
  Statement by_address_;
  Statement by_address_network_;
};

}  // namespace brelvint
