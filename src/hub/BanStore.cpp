#include "hub/BanStore.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <ctime>
#include <stdexcept>

#include "base/LogMessage.h"
#include "base/TextCase.h"

namespace brelvint {

namespace {

const char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS bans ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "address TEXT, "
    "\"by\" TEXT, "
    "reason TEXT, "
    "bandate DATETIME, "
    "banlength INTEGER, "
    "network TEXT, "
    "name TEXT, "
    "expires INTEGER);"
    "CREATE INDEX IF NOT EXISTS bans_address ON bans(address COLLATE NOCASE);";

// The reader thread's niceness (Linux schedules threads apart).
constexpr int kReaderNice = 10;
// The writer's own connection waits this long for a lock before a try
// fails; it then tries again, so a stop is never held up for long.
constexpr int kWriterBusyMilliseconds = 250;
// The loop's connection only reads (write-ahead logging never makes a
// reader wait for a writer) and lifts bans: it must not stall the relay.
constexpr int kLoopBusyMilliseconds = 100;
constexpr const char kInsert[] =
    "INSERT INTO bans (address, name, \"by\", reason, bandate, banlength, network, id, expires) "
    "VALUES (?, ?, ?, ?, ?, 1, ?, ?, ?)";
// The first number not given yet: AUTOINCREMENT never gives one twice, so
// neither does the store.
constexpr const char kNextId[] =
    "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'bans'), 0), "
    "coalesce((SELECT max(id) FROM bans), 0)) + 1";
// A lifted ban's row, only if it is still the one the store wrote: a row an
// operator's hand put under that number stays.
constexpr const char kDeleteWritten[] =
    "DELETE FROM bans WHERE id = ? AND address = ? AND network = ? AND bandate = ?";
// "Ban of <address> (<name>) on network <network>", for log lines.
std::string DescribeBan(const BanStore::Ban& ban) {
  return "Ban of " + ban.address + " (" + modGlobal::EscapeForLog(ban.name) + ") on network " +
         modGlobal::EscapeForLog(ban.network);
}

// The statements that give whole rows name the columns in ReadRow's order.
const char kSelectNetwork[] =
    "SELECT id, address, name, \"by\", reason, bandate, banlength, network, expires FROM bans "
    "WHERE network = ? COLLATE NOCASE ORDER BY id";
const char kSelectAll[] =
    "SELECT id, address, name, \"by\", reason, bandate, banlength, network, expires FROM bans "
    "ORDER BY id";

std::string LocalTime(int64_t seconds) {
  std::time_t when = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

std::string NowLocal() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  int bytes = sqlite3_column_bytes(statement, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), bytes);
}

void Bind(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Bind(sqlite3_stmt* statement, int index, const std::optional<int64_t>& seconds) {
  if (seconds) {
    sqlite3_bind_int64(statement, index, *seconds);
  } else {
    sqlite3_bind_null(statement, index);
  }
}

BanStore::Ban ReadRow(sqlite3_stmt* statement) {
  BanStore::Ban ban;
  ban.id = sqlite3_column_int64(statement, 0);
  ban.address = ColumnText(statement, 1);
  ban.name = ColumnText(statement, 2);
  ban.by = ColumnText(statement, 3);
  ban.reason = ColumnText(statement, 4);
  ban.bandate = ColumnText(statement, 5);
  ban.banlength = sqlite3_column_int64(statement, 6);
  ban.network = ColumnText(statement, 7);
  if (sqlite3_column_type(statement, 8) != SQLITE_NULL)
    ban.expires = sqlite3_column_int64(statement, 8);
  return ban;
}

// Resets a cached statement when the caller is done with it, whatever path it takes.
struct ResetOnExit {
  sqlite3_stmt* statement;
  ~ResetOnExit() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
};

}  // namespace

BanStore::BanStore(const std::filesystem::path& file) : file_(file) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    std::string reason = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    throw std::runtime_error("cannot open ban database " + file.string() + ": " + reason);
  }
  sqlite3_busy_timeout(raw, kLoopBusyMilliseconds);
  char* message = nullptr;
  rc = sqlite3_exec(raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                    &message);
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, kCreateTable, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string reason = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw std::runtime_error("cannot open ban database " + file.string() + ": " + reason);
  }
  AddNameColumn();
  AddExpiresColumn();
  Statement next = Prepare(kNextId);
  if (sqlite3_step(next.get()) == SQLITE_ROW) next_id_ = sqlite3_column_int64(next.get(), 0);
  delete_ = Prepare(
      "DELETE FROM bans WHERE id = ? AND network = ? COLLATE NOCASE "
      "RETURNING id, address, name, \"by\", reason, bandate, banlength, network, expires");
  // An expired row stays until lifted, but refuses no one.
  by_address_ = Prepare(
      "SELECT DISTINCT network FROM bans WHERE address = ? COLLATE NOCASE "
      "AND (expires IS NULL OR expires > ?)");
  by_address_network_ = Prepare(
      "SELECT 1 FROM bans WHERE address = ? COLLATE NOCASE AND network = ? COLLATE NOCASE "
      "AND (expires IS NULL OR expires > ?) LIMIT 1");
}

void BanStore::AddNameColumn() {
  // Files written before bans recorded the member's name lack the column.
  Statement columns = Prepare("PRAGMA table_info(bans)");
  while (sqlite3_step(columns.get()) == SQLITE_ROW) {
    if (ColumnText(columns.get(), 1) == "name") return;
  }
  char* message = nullptr;
  int rc =
      sqlite3_exec(db_.get(), "ALTER TABLE bans ADD COLUMN name TEXT", nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string reason = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw std::runtime_error("cannot open ban database " + file_.string() + ": " + reason);
  }
}

void BanStore::AddExpiresColumn() {
  Statement columns = Prepare("PRAGMA table_info(bans)");
  while (sqlite3_step(columns.get()) == SQLITE_ROW) {
    if (ColumnText(columns.get(), 1) == "expires") return;
  }
  char* message = nullptr;
  int rc = sqlite3_exec(db_.get(), "ALTER TABLE bans ADD COLUMN expires INTEGER", nullptr, nullptr,
                        &message);
  if (rc != SQLITE_OK) {
    std::string reason = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw std::runtime_error("cannot open ban database " + file_.string() + ": " + reason);
  }
}

int64_t BanStore::Now() const {
  return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr));
}

BanStore::~BanStore() {
  StopReader();
  StopWriter();
}

void BanStore::StopWriter() {
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    if (!writer_stopping_) writer_deadline_ = std::chrono::steady_clock::now();
    writer_stopping_ = true;
  }
  write_wake_.notify_all();
  if (writer_.joinable()) writer_.join();
}

int64_t BanStore::Record(Ban ban, asio::io_context& loop) {
  if (ban.bandate.empty()) ban.bandate = NowLocal();
  ban.id = next_id_++;
  ban.stored = false;
  loop_ = &loop;
  unsaved_.push_back(ban);
  std::lock_guard<std::mutex> lock(write_mutex_);
  writes_.push_back({std::move(ban), &loop});
  if (!writer_.joinable()) writer_ = std::thread([this] { ServeWrites(); });
  write_wake_.notify_one();
  return unsaved_.back().id;
}

void BanStore::Written(int64_t id) {
  auto it =
      std::find_if(unsaved_.begin(), unsaved_.end(), [id](const Ban& ban) { return ban.id == id; });
  if (it != unsaved_.end()) unsaved_.erase(it);
}

std::vector<BanStore::Ban> BanStore::Pending(const std::string& network) const {
  std::vector<Ban> pending;
  for (const Ban& ban : unsaved_) {
    if (network.empty() || TextCase::Equal(ban.network, network)) pending.push_back(ban);
  }
  return pending;
}

std::optional<BanStore::Ban> BanStore::LiftPending(int64_t id, const std::string& network) {
  auto it = std::find_if(unsaved_.begin(), unsaved_.end(), [&](const Ban& ban) {
    return ban.id == id && (network.empty() || TextCase::Equal(ban.network, network));
  });
  if (it == unsaved_.end()) return std::nullopt;
  Ban lifted = std::move(*it);
  unsaved_.erase(it);
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    auto queued = std::find_if(writes_.begin(), writes_.end(), [id](const Write& write) {
      return !write.remove && write.ban.id == id;
    });
    if (queued == writes_.begin()) {
      front_lifted_ = true;  // the writer may be trying it right now
    } else if (queued != writes_.end()) {
      writes_.erase(queued);
    } else {
      // Written, the news not yet here: the row goes again, off the loop,
      // as a held database must not stall it.
      writes_.push_back({lifted, loop_, true});
    }
  }
  write_wake_.notify_one();
  return lifted;
}

std::optional<BanStore::Ban> BanStore::Lift(int64_t id, const std::string& network,
                                            std::string* error) {
  if (auto lifted = LiftPending(id, network)) return lifted;
  return network.empty() ? DeleteAnyNetwork(id, error) : Delete(id, network, error);
}

bool BanStore::TryWrite(sqlite3* db, const Write& write, int64_t* written, std::string* error) {
  const Ban& ban = write.ban;
  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v2(db, write.remove ? kDeleteWritten : kInsert, -1, &prepared, nullptr) !=
      SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  Statement statement(prepared);
  if (write.remove) {
    sqlite3_bind_int64(prepared, 1, ban.id);
    Bind(prepared, 2, ban.address);
    Bind(prepared, 3, ban.network);
    Bind(prepared, 4, ban.bandate);
  } else {
    Bind(prepared, 1, ban.address);
    Bind(prepared, 2, ban.name);
    Bind(prepared, 3, ban.by);
    Bind(prepared, 4, ban.reason);
    Bind(prepared, 5, ban.bandate);
    Bind(prepared, 6, ban.network);
    sqlite3_bind_int64(prepared, 7, ban.id);
    Bind(prepared, 8, ban.expires);
  }
  int rc = sqlite3_step(prepared);
  if (!write.remove && rc == SQLITE_CONSTRAINT) {
    // Someone's hand took the number in the table meanwhile: the ban keeps
    // its place under the next free one rather than be lost.
    sqlite3_reset(prepared);
    sqlite3_bind_null(prepared, 7);
    rc = sqlite3_step(prepared);
  }
  if (rc == SQLITE_DONE) {
    *written = write.remove ? ban.id : sqlite3_last_insert_rowid(db);
    return true;
  }
  *error = sqlite3_errmsg(db);
  return false;
}

std::vector<BanStore::Ban> BanStore::Merge(std::vector<Ban> rows, const std::vector<Ban>& pending) {
  std::vector<Ban> merged;
  merged.reserve(rows.size() + pending.size());
  size_t next = 0;
  for (Ban& row : rows) {
    while (next < pending.size() && pending[next].id < row.id) merged.push_back(pending[next++]);
    if (next < pending.size() && pending[next].id == row.id) ++next;  // written meanwhile
    merged.push_back(std::move(row));
  }
  merged.insert(merged.end(), pending.begin() + static_cast<std::ptrdiff_t>(next), pending.end());
  return merged;
}

void BanStore::ServeWrites() {
  Database db;
  std::weak_ptr<char> alive = alive_;
  // Log lines and the end of a write go to the loop, which owns the log and
  // the bans in memory; a store gone by then has nothing left to update.
  auto tell_loop = [alive, this](asio::io_context* loop, std::string line, int64_t written) {
    asio::post(*loop, [alive, this, line = std::move(line), written] {
      if (!line.empty()) modGlobal::LogMessage(line);
      if (written != 0 && alive.lock()) Written(written);
    });
  };
  auto open = [&db, this](std::string* error) {
    if (db) return true;
    sqlite3* raw = nullptr;
    int rc =
        sqlite3_open_v2(file_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    db.reset(raw);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(raw, kWriterBusyMilliseconds);
      return true;
    }
    *error = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    db.reset();
    return false;
  };
  bool front_failed = false;  // the first write failed before (and said so)
  std::chrono::steady_clock::time_point retry_at{};
  std::unique_lock<std::mutex> lock(write_mutex_);
  while (true) {
    if (writes_.empty()) {
      front_failed = false;
      if (writer_stopping_) return;
      write_wake_.wait(lock);
      continue;
    }
    if (front_lifted_) {  // lifted before its row landed: never written
      writes_.pop_front();
      front_lifted_ = false;
      front_failed = false;
      continue;
    }
    auto now = std::chrono::steady_clock::now();
    if (front_failed) {
      // Close reports what is left.
      if (writer_stopping_ && now >= writer_deadline_) return;
      if (now < retry_at) {
        auto until = writer_stopping_ ? std::min(retry_at, writer_deadline_) : retry_at;
        write_wake_.wait_until(lock, until);
        continue;
      }
    }
    Write write = writes_.front();  // stays queued until written: Close reports what is left
    lock.unlock();
    std::string error;
    int64_t written = 0;
    bool done = open(&error) && TryWrite(db.get(), write, &written, &error);
    lock.lock();
    if (!done) {
      if (!front_failed) {
        std::string what = write.remove ? "Lifted ban " + std::to_string(write.ban.id) +
                                              " not deleted from the ban database yet: " + error +
                                              "; retried until deleted"
                                        : DescribeBan(write.ban) + " not written yet: " + error +
                                              "; it holds at once and is retried until written";
        tell_loop(write.loop, what, 0);
      }
      front_failed = true;
      retry_at = std::chrono::steady_clock::now() + kRetryPause;
      continue;
    }
    std::string line;
    if (!write.remove) {
      if (written != write.ban.id) {
        line = DescribeBan(write.ban) + " written as ban " + std::to_string(written) +
               ": its number " + std::to_string(write.ban.id) +
               " was taken in the ban database meanwhile";
      } else if (front_failed) {
        line = DescribeBan(write.ban) + " written to the ban database";
      }
      if (front_lifted_) {
        // Lifted while this try was under way: the row goes again.
        Ban row = write.ban;
        row.id = written;
        writes_.push_back({std::move(row), write.loop, true});
      }
    }
    tell_loop(write.loop, std::move(line), write.remove ? 0 : write.ban.id);
    writes_.pop_front();
    front_lifted_ = false;
    front_failed = false;
  }
}

void BanStore::StopReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (reader_.joinable()) reader_.join();
}

BanStore::Statement BanStore::Prepare(const char* sql) const {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    throw std::runtime_error("cannot open ban database " + file_.string() + ": " +
                             sqlite3_errmsg(db_.get()));
  }
  return Statement(statement);
}

std::optional<BanStore::Ban> BanStore::Delete(int64_t id, const std::string& network,
                                              std::string* error) {
  sqlite3_stmt* statement = delete_.get();
  ResetOnExit reset{statement};
  sqlite3_bind_int64(statement, 1, id);
  Bind(statement, 2, network);
  std::optional<Ban> removed;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) removed = ReadRow(statement);
  if (rc != SQLITE_DONE) {
    if (error != nullptr) *error = sqlite3_errmsg(db_.get());
    return std::nullopt;
  }
  return removed;
}

std::string BanStore::EndText(const Ban& ban, int64_t now) {
  if (!ban.expires) return kNever;
  std::string text = LocalTime(*ban.expires);
  if (ban.Expired(now)) text += kExpired;
  return text;
}

std::string BanStore::LiftLine(const Ban& lifted, const std::string& by,
                               const std::string& network) {
  std::string line = "Ban " + std::to_string(lifted.id) + " lifted by " + by + " on network " +
                     network + ": " + lifted.address;
  if (!lifted.name.empty()) line += " " + modGlobal::EscapeForLog(lifted.name);
  return line;
}

std::vector<BanStore::Ban> BanStore::Rows(const std::string& network, std::string* error) const {
  Statement select = Prepare(network.empty() ? kSelectAll : kSelectNetwork);
  if (!network.empty()) Bind(select.get(), 1, network);
  std::vector<Ban> rows;
  int rc;
  while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) rows.push_back(ReadRow(select.get()));
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_.get());
    return {};
  }
  return rows;
}

std::optional<BanStore::Ban> BanStore::DeleteAnyNetwork(int64_t id, std::string* error) {
  Statement remove = Prepare(
      "DELETE FROM bans WHERE id = ? "
      "RETURNING id, address, name, \"by\", reason, bandate, banlength, network, expires");
  sqlite3_bind_int64(remove.get(), 1, id);
  std::optional<Ban> removed;
  int rc;
  while ((rc = sqlite3_step(remove.get())) == SQLITE_ROW) removed = ReadRow(remove.get());
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(db_.get());
    return std::nullopt;
  }
  return removed;
}

void BanStore::SetBusyTimeout(std::chrono::milliseconds wait) {
  sqlite3_busy_timeout(db_.get(), static_cast<int>(wait.count()));
}

std::vector<std::string> BanStore::NetworksBanning(const std::string& address) const {
  sqlite3_stmt* statement = by_address_.get();
  ResetOnExit reset{statement};
  int64_t now = Now();
  Bind(statement, 1, address);
  sqlite3_bind_int64(statement, 2, now);
  std::vector<std::string> networks;
  while (sqlite3_step(statement) == SQLITE_ROW) networks.push_back(ColumnText(statement, 0));
  for (const Ban& ban : unsaved_) {
    if (TextCase::Equal(ban.address, address) && !ban.Expired(now)) networks.push_back(ban.network);
  }
  return networks;
}

bool BanStore::IsBanned(const std::string& address, const std::string& network) const {
  int64_t now = Now();
  for (const Ban& ban : unsaved_) {
    if (TextCase::Equal(ban.address, address) && TextCase::Equal(ban.network, network) &&
        !ban.Expired(now)) {
      return true;
    }
  }
  sqlite3_stmt* statement = by_address_network_.get();
  ResetOnExit reset{statement};
  Bind(statement, 1, address);
  Bind(statement, 2, network);
  sqlite3_bind_int64(statement, 3, now);
  return sqlite3_step(statement) == SQLITE_ROW;
}

void BanStore::Close() {
  if (!db_) return;
  StopReader();  // its read connection would hold the log open
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    writer_deadline_ = std::chrono::steady_clock::now() + kStopWriteLimit;
    writer_stopping_ = true;
  }
  write_wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  // What the database never took is in the log in full, for the operator
  // to enter by hand.
  for (size_t i = 0; i < writes_.size(); ++i) {
    const Ban& ban = writes_[i].ban;
    if (i == 0 && front_lifted_) continue;  // lifted: nothing was lost
    if (writes_[i].remove) {
      modGlobal::LogMessage("Lifted ban " + std::to_string(ban.id) +
                            " still in the ban database (it could not be written): brelvint "
                            "bans lift " +
                            std::to_string(ban.id) + " removes it");
      continue;
    }
    modGlobal::LogMessage("Ban not saved (the ban database could not be written): address " +
                          ban.address + ", name " + modGlobal::EscapeForLog(ban.name) +
                          ", network " + modGlobal::EscapeForLog(ban.network) + ", by " +
                          modGlobal::EscapeForLog(ban.by) + ", reason " +
                          modGlobal::EscapeForLog(ban.reason) + ", at " + ban.bandate +
                          (ban.expires ? ", ends " + LocalTime(*ban.expires) : std::string()));
  }
  writes_.clear();
  unsaved_.clear();
  // Statements left open would keep the connection alive past the close.
  for (Statement* statement : {&delete_, &by_address_, &by_address_network_}) statement->reset();
  // Explicit, so the file is complete even while another connection (an
  // operator's sqlite3 shell) keeps the write-ahead log from being removed.
  sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  db_.reset();
}

void BanStore::ListNetwork(std::string network, size_t room, EntryFormat format,
                           asio::io_context& loop, ListReady ready) {
  std::vector<Ban> pending = Pending(network);
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(
      {std::move(network), std::move(pending), room, std::move(format), &loop, std::move(ready)});
  if (!reader_.joinable()) reader_ = std::thread([this] { ServeLists(); });
  wake_.notify_one();
}

void BanStore::ServeLists() {
  // On a machine short of cores the list waits, not the loop: the loop
  // thread serves every player, this one a single administrator.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kReaderNice);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !requests_.empty(); });
    if (stopping_) return;
    ListRequest request = std::move(requests_.front());
    requests_.pop_front();
    lock.unlock();
    std::string error;
    std::optional<std::string> text = ReadList(request, &error);
    if (!stopping_) {
      asio::post(*request.loop, [ready = std::move(request.ready), text = std::move(text),
                                 error = std::move(error)]() mutable {
        ready(std::move(text), std::move(error));
      });
    }
    lock.lock();
  }
}

std::optional<std::string> BanStore::ReadList(const ListRequest& request,
                                              std::string* error) const {
  // A connection of this thread's own: the loop's connection stays free for
  // bans and unbans, and write-ahead logging lets both work at once.
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(file_.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  Database db(raw);
  if (rc != SQLITE_OK) {
    *error = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    return std::nullopt;
  }
  sqlite3_busy_timeout(raw, 2000);
  sqlite3_stmt* prepared = nullptr;
  const char* sql = request.network.empty() ? kSelectAll : kSelectNetwork;
  if (sqlite3_prepare_v2(raw, sql, -1, &prepared, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(raw);
    return std::nullopt;
  }
  Statement select(prepared);
  if (!request.network.empty()) Bind(prepared, 1, request.network);
  std::string text(request.room, '\0');
  // The bans not yet written go in by number among the rows; one written
  // since the list was asked for is among the rows already.
  const std::vector<Ban>& pending = request.pending;
  size_t next = 0;
  while ((rc = sqlite3_step(prepared)) == SQLITE_ROW) {
    if (stopping_) return std::nullopt;
    Ban row = ReadRow(prepared);
    while (next < pending.size() && pending[next].id < row.id)
      request.format(pending[next++], text);
    if (next < pending.size() && pending[next].id == row.id) ++next;
    request.format(row, text);
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(raw);
    return std::nullopt;
  }
  while (next < pending.size()) request.format(pending[next++], text);
  return text;
}

}  // namespace brelvint
