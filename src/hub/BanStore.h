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
//
// A ban on its way to the database is part of the truth: it has its number
// from the moment it is recorded (the store allocates it, and the row is
// written with it), every list shows it (marked as not yet stored) and a
// lift removes it, from memory and from the writer's queue. `brelvint
// bans` and the other operator commands see them through the running
// server (its control socket), which lists and lifts them here.
class BanStore {
 public:
  static constexpr const char kFileName[] = "brelvint.db";
  // What the lists add to the reason of a ban not yet written.
  static constexpr const char kNotYetStored[] = " (not yet stored)";
  // What the lists show for the end of a ban that never ends, and add to
  // the end of one that has.
  static constexpr const char kNever[] = "never";
  static constexpr const char kExpired[] = " (expired)";

  struct Ban {
    int64_t id = 0;
    std::string address;
    std::string name;  // the banned member's; empty in rows older than the column
    std::string by;
    std::string reason;
    std::string bandate;    // "YYYY-MM-DD HH:MM:SS", local time
    int64_t banlength = 1;  // written as 1, as it always was; nothing reads it
    std::string network;
    // When the ban ends (unix seconds); none for a ban that never does.
    std::optional<int64_t> expires;
    // False for a ban recorded and not yet written to the database.
    bool stored = true;

    // True once a timed ban's end is at or before `now` (unix seconds): it
    // refuses no one, though its row may still be in the table.
    bool Expired(int64_t now) const { return expires && *expires <= now; }
  };

  // The clock the store judges expiry by (unix seconds); tests set one.
  using Clock = std::function<int64_t()>;

  // Opens (creating when missing) the database and the table. Throws
  // std::runtime_error naming the file and SQLite's reason when it cannot.
  explicit BanStore(const std::filesystem::path& file);
  ~BanStore();
  BanStore(const BanStore&) = delete;
  BanStore& operator=(const BanStore&) = delete;

  // Records a ban and returns its number (allocated now; the row is
  // written with it): it counts at once for IsBanned and NetworksBanning,
  // is listed and may be lifted, and its row is written on the writer
  // thread, retried while the database is busy or failing. Each failure of
  // a ban is logged once (on `loop`, which must outlive the store), and so
  // is the write that follows one. Loop thread; logs.
  int64_t Record(Ban ban, asio::io_context& loop);
  // Bans recorded and not yet written.
  size_t Unsaved() const { return unsaved_.size(); }
  // The bans recorded and not yet written, for `network` (ignoring case;
  // every network when empty), in number order, `stored` false. Loop thread.
  std::vector<Ban> Pending(const std::string& network) const;
  // Lifts ban `id` when it bans on `network` (ignoring case; any network
  // when empty). A ban not yet written is taken out of memory and out of
  // the writer's queue at once, without waiting for the database (should
  // its row land meanwhile, the writer deletes it again); a stored one is
  // deleted from the table. The ban lifted (`stored` says which it was);
  // nullopt when there is no such ban, or SQLite failed (`error` set).
  // Loop thread; logs nothing (the caller logs LiftLine).
  std::optional<Ban> Lift(int64_t id, const std::string& network, std::string* error = nullptr);
  // Lift for a ban not yet written only; nullopt when `id` is none of them.
  std::optional<Ban> LiftPending(int64_t id, const std::string& network);

  // When `ban` ends, for a list: kNever, or its end in local time
  // ("YYYY-MM-DD HH:MM:SS"), followed by kExpired once `now` has reached it.
  static std::string EndText(const Ban& ban, int64_t now);
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
  // Both leave out bans that have expired (by Now()).
  bool IsBanned(const std::string& address, const std::string& network) const;

  // The store's time in unix seconds: the wall clock unless SetClock gave
  // another. A timed ban's end is reckoned from it.
  int64_t Now() const;
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  // Appends one row's entry to a list. Runs on the reader thread, so it
  // may touch nothing but its arguments.
  using EntryFormat = std::function<void(const Ban& row, std::string& out)>;
  // Takes the finished list; nullopt when it could not be read, with
  // SQLite's message in `error`.
  using ListReady = std::function<void(std::optional<std::string> text, std::string error)>;
  // Reads the rows recorded for `network` (ignoring case; every network
  // when empty), with the bans not yet written at the call merged in, in
  // id order, and formats each with `format`, on the reader thread, after
  // `room` NUL bytes left for the caller (a message header); then posts
  // `ready` with the text to `loop`, which must outlive this store. Lists
  // are produced one at a time, in the order asked. A list the store is
  // destroyed before finishing is dropped: its `ready` never runs. Loop
  // thread.
  void ListNetwork(std::string network, size_t room, EntryFormat format, asio::io_context& loop,
                   ListReady ready);

  // For a store opened off the loop (`brelvint bans` with no server
  // running, the operators' list on its worker thread): every row (only
  // `network`'s, ignoring case, when it is not empty) in id order; empty
  // with `error` set when reading failed.
  std::vector<Ban> Rows(const std::string& network, std::string* error) const;
  // `rows` (id order) with `pending` (id order) merged in by number; a
  // pending ban whose row is already among `rows` is left out.
  static std::vector<Ban> Merge(std::vector<Ban> rows, const std::vector<Ban>& pending);
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
    std::vector<Ban> pending;
    size_t room;
    EntryFormat format;
    asio::io_context* loop;
    ListReady ready;
  };

  Statement Prepare(const char* sql) const;
  void AddNameColumn();
  // Files written before bans could end lack the `expires` column; their
  // rows get NULL in it, so they stay permanent.
  void AddExpiresColumn();
  // Ends the reader thread, dropping any list not finished; lists asked
  // for afterwards are never produced.
  void StopReader();
  // The reader thread's loop; ends when the store is being destroyed.
  void ServeLists();
  // One list through a connection opened for it; nullopt when reading
  // failed (`error` set) or the store is being destroyed.
  std::optional<std::string> ReadList(const ListRequest& request, std::string* error) const;

  // A ban on its way to the database, or (`remove`) a lifted ban's row to
  // delete again, its insert having landed before the lift reached it.
  struct Write {
    Ban ban;
    asio::io_context* loop;
    bool remove = false;
  };
  // The writer thread's loop: writes in order, each until it succeeds or
  // the store stops.
  void ServeWrites();
  // One try; false with `error` set when nothing was written. `written`
  // receives the row's number: the ban's own, or a new one when an
  // operator's hand took that number meanwhile.
  bool TryWrite(sqlite3* db, const Write& write, int64_t* written, std::string* error);
  // Loop thread: ban `id` is in the database.
  void Written(int64_t id);
  void StopWriter();

  std::filesystem::path file_;
  Clock clock_;  // none: the wall clock
  Database db_;
  Statement delete_;
  Statement by_address_;
  Statement by_address_network_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<ListRequest> requests_;  // guarded by mutex_
  std::atomic<bool> stopping_{false};
  std::thread reader_;  // started by the first ListNetwork

  // The number the next ban gets: past every number the table ever gave.
  int64_t next_id_ = 1;
  asio::io_context* loop_ = nullptr;  // the one Record was last given
  // Loop thread only: bans recorded and not yet written, in order.
  std::deque<Ban> unsaved_;
  std::mutex write_mutex_;
  std::condition_variable write_wake_;
  std::deque<Write> writes_;  // guarded by write_mutex_
  // The first of writes_ (being tried by the writer) was lifted: it is
  // dropped, or its row deleted again should the try under way land it.
  bool front_lifted_ = false;                              // guarded by write_mutex_
  bool writer_stopping_ = false;                           // guarded by write_mutex_
  std::chrono::steady_clock::time_point writer_deadline_;  // guarded by write_mutex_
  std::thread writer_;                                     // started by the first Record
  // Lets the writer's messages to the loop find out the store is gone.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace brelvint
