#pragma once

#include <sqlite3.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Asio.h"

namespace brelvint {

// The ban table `bans` in an SQLite file ("brelvint.db" in the data
// folder). Every statement is prepared with bound values; the file runs
// in write-ahead-log mode so a crash never corrupts it, and so a reader and
// the writer never wait for each other. Owned by App (as `serverdb`).
//
// Everything but ListNetwork and Record's writing runs on the event-loop
// thread. A ban list can run to millions of bytes, so ListNetwork reads and
// formats it on the store's reader thread, through a read-only connection
// of its own that is open only while a list is read, and hands the text to
// the loop. A ban never waits on the loop for the database (an operator's
// sqlite3 session may hold it for minutes): Record keeps it in memory,
// where it takes effect at once, and the writer thread writes it, retrying
// while the database is busy. The destructor stops both threads and waits
// for them: no thread and no connection outlives the store.
class BanStore {
 public:
  static constexpr const char kFileName[] = "brelvint.db";

  struct Ban {
    int64_t id = 0;
    std::string address;
    std::string name;  // the banned member's; empty in rows older than the column
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

  // Records a ban: it counts at once for IsBanned and NetworksBanning, and
  // its row is written on the writer thread, retried while the database is
  // busy or failing. Each failure of a ban is logged once (on `loop`, which
  // must outlive the store), and so is the write that follows one. Loop
  // thread; logs.
  void Record(Ban ban, asio::io_context& loop);
  // Bans recorded and not yet written.
  size_t Unsaved() const { return unsaved_.size(); }

  // Adds one row for the member `name` at `address`, stamped with the
  // current local time, at once; false (and `error` set) when the insert
  // failed.
  bool Insert(const std::string& address, const std::string& name, const std::string& by,
              const std::string& reason, const std::string& network, std::string* error = nullptr);
  // The log line of a lift: "Ban <id> lifted by <by> on network <network>:
  // <address> <name>", with `by` as given and the name escaped.
  static std::string LiftLine(const Ban& lifted, const std::string& by, const std::string& network);
  // Deletes ban `id` when it was recorded for `network` (ignoring case)
  // and returns the row deleted; nullopt when there is no such row on that
  // network, or when SQLite failed (then `error` is set).
  std::optional<Ban> Delete(int64_t id, const std::string& network, std::string* error = nullptr);
  // The networks named by rows for this address (compared ignoring case).
  std::vector<std::string> NetworksBanning(const std::string& address) const;
  // True when a row bans this address on the named network (both ignoring case).
  bool IsBanned(const std::string& address, const std::string& network) const;

  // Appends one row's entry to a list. Runs on the reader thread, so it
  // may touch nothing but its arguments.
  using EntryFormat = std::function<void(const Ban& row, std::string& out)>;
  // Takes the finished list; nullopt when it could not be read, with
  // SQLite's message in `error`.
  using ListReady = std::function<void(std::optional<std::string> text, std::string error)>;
  // Reads the rows recorded for `network` (ignoring case) in id order and
  // formats each with `format`, on the reader thread, after `room` NUL
  // bytes left for the caller (a message header); then posts `ready` with
  // the text to `loop`, which must outlive this store. Lists are produced
  // one at a time, in the order asked. A list the store is destroyed
  // before finishing is dropped: its `ready` never runs.
  void ListNetwork(std::string network, size_t room, EntryFormat format, asio::io_context& loop,
                   ListReady ready);

  // For `brelvint bans`, a process of its own with no loop: every row
  // (only `network`'s, ignoring case, when it is not empty) in id order;
  // empty with `error` set when reading failed.
  std::vector<Ban> Rows(const std::string& network, std::string* error) const;
  // Deletes ban `id` whatever its network; the row deleted, nullopt when
  // there is none or SQLite failed (then `error` is set).
  std::optional<Ban> DeleteAnyNetwork(int64_t id, std::string* error);
  // How long a statement waits while another connection holds the
  // database (100 ms unless set: the loop must not wait longer).
  void SetBusyTimeout(std::chrono::milliseconds wait);

  const std::filesystem::path& File() const { return file_; }

  // Writes the bans not yet written (waiting at most kStopWriteLimit, then
  // logging each one left in full), moves every change from the write-ahead
  // log into the database file and closes it, so that a copy of the file
  // alone holds every ban. Called at stop on the loop thread; nothing may
  // use the store afterwards. Logs.
  void Close();

  static constexpr std::chrono::seconds kStopWriteLimit{5};
  // How long the writer waits between tries while the database is busy.
  static constexpr std::chrono::milliseconds kRetryPause{200};

 private:
  struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
  };
  using Database = std::unique_ptr<sqlite3, CloseDb>;
  using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

  struct ListRequest {
    std::string network;
    size_t room;
    EntryFormat format;
    asio::io_context* loop;
    ListReady ready;
  };

  Statement Prepare(const char* sql) const;
  void AddNameColumn();
  // Ends the reader thread, dropping any list not finished; lists asked
  // for afterwards are never produced.
  void StopReader();
  // The reader thread's loop; ends when the store is being destroyed.
  void ServeLists();
  // One list through a connection opened for it; nullopt when reading
  // failed (`error` set) or the store is being destroyed.
  std::optional<std::string> ReadList(const ListRequest& request, std::string* error) const;

  // A ban on its way to the database.
  struct Write {
    uint64_t sequence;
    Ban ban;
    asio::io_context* loop;
  };
  // The writer thread's loop: writes in order, each until it succeeds or
  // the store stops.
  void ServeWrites();
  // One try; false with `error` set when the row was not written.
  bool TryWrite(sqlite3* db, const Ban& ban, std::string* error);
  // Loop thread: the ban `sequence` is in the database.
  void Written(uint64_t sequence);
  void StopWriter();

  std::filesystem::path file_;
  Database db_;
  Statement insert_;
  Statement delete_;
  Statement by_address_;
  Statement by_address_network_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<ListRequest> requests_;  // guarded by mutex_
  std::atomic<bool> stopping_{false};
  std::thread reader_;  // started by the first ListNetwork

  // Loop thread only: bans recorded and not yet written, in order.
  std::deque<std::pair<uint64_t, Ban>> unsaved_;
  uint64_t next_sequence_ = 1;
  std::mutex write_mutex_;
  std::condition_variable write_wake_;
  std::deque<Write> writes_;                               // guarded by write_mutex_
  bool writer_stopping_ = false;                           // guarded by write_mutex_
  std::chrono::steady_clock::time_point writer_deadline_;  // guarded by write_mutex_
  std::thread writer_;                                     // started by the first Record
  // Lets the writer's messages to the loop find out the store is gone.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace brelvint
