#include "hub/BanStore.h"

#include <sys/resource.h>
#include <unistd.h>

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
    "name TEXT);"
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
    "INSERT INTO bans (address, name, \"by\", reason, bandate, banlength, network) "
    "VALUES (?, ?, ?, ?, ?, 1, ?)";

// "Ban of <address> (<name>) on network <network>", for log lines.
std::string DescribeBan(const BanStore::Ban& ban) {
  return "Ban of " + ban.address + " (" + modGlobal::EscapeForLog(ban.name) + ") on network " +
         modGlobal::EscapeForLog(ban.network);
}

// The statements that give whole rows name the columns in ReadRow's order.
const char kSelectNetwork[] =
    "SELECT id, address, name, \"by\", reason, bandate, banlength, network FROM bans "
    "WHERE network = ? COLLATE NOCASE ORDER BY id";
const char kSelectAll[] =
    "SELECT id, address, name, \"by\", reason, bandate, banlength, network FROM bans "
    "ORDER BY id";

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
  insert_ = Prepare(kInsert);
  delete_ = Prepare(
      "DELETE FROM bans WHERE id = ? AND network = ? COLLATE NOCASE "
      "RETURNING id, address, name, \"by\", reason, bandate, banlength, network");
  by_address_ = Prepare("SELECT DISTINCT network FROM bans WHERE address = ? COLLATE NOCASE");
  by_address_network_ = Prepare(
      "SELECT 1 FROM bans WHERE address = ? COLLATE NOCASE AND network = ? COLLATE NOCASE LIMIT 1");
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

void BanStore::Record(Ban ban, asio::io_context& loop) {
  if (ban.bandate.empty()) ban.bandate = NowLocal();
  uint64_t sequence = next_sequence_++;
  unsaved_.emplace_back(sequence, ban);
  std::lock_guard<std::mutex> lock(write_mutex_);
  writes_.push_back({sequence, std::move(ban), &loop});
  if (!writer_.joinable()) writer_ = std::thread([this] { ServeWrites(); });
  write_wake_.notify_one();
}

void BanStore::Written(uint64_t sequence) {
  for (auto it = unsaved_.begin(); it != unsaved_.end(); ++it) {
    if (it->first == sequence) {
      unsaved_.erase(it);
      return;
    }
  }
}

bool BanStore::TryWrite(sqlite3* db, const Ban& ban, std::string* error) {
  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v2(db, kInsert, -1, &prepared, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  Statement insert(prepared);
  Bind(prepared, 1, ban.address);
  Bind(prepared, 2, ban.name);
  Bind(prepared, 3, ban.by);
  Bind(prepared, 4, ban.reason);
  Bind(prepared, 5, ban.bandate);
  Bind(prepared, 6, ban.network);
  if (sqlite3_step(prepared) == SQLITE_DONE) return true;
  *error = sqlite3_errmsg(db);
  return false;
}

void BanStore::ServeWrites() {
  Database db;
  std::weak_ptr<char> alive = alive_;
  // Log lines and the end of a write go to the loop, which owns the log and
  // the bans in memory; a store gone by then has nothing left to update.
  auto tell_loop = [alive, this](asio::io_context* loop, std::string line, uint64_t written) {
    asio::post(*loop, [alive, this, line = std::move(line), written] {
      if (!line.empty()) modGlobal::LogMessage(line);
      if (written != 0 && alive.lock()) Written(written);
    });
  };
  std::unique_lock<std::mutex> lock(write_mutex_);
  while (true) {
    write_wake_.wait(lock, [this] { return writer_stopping_ || !writes_.empty(); });
    if (writes_.empty()) return;
    Write write = writes_.front();  // stays queued until written: Close reports what is left
    lock.unlock();
    bool failed = false;
    while (true) {
      std::string error;
      if (!db) {
        sqlite3* raw = nullptr;
        int rc = sqlite3_open_v2(file_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        db.reset(raw);
        if (rc == SQLITE_OK) {
          sqlite3_busy_timeout(raw, kWriterBusyMilliseconds);
        } else {
          error = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
          db.reset();
        }
      }
      if (db && TryWrite(db.get(), write.ban, &error)) break;
      if (!failed) {
        tell_loop(write.loop,
                  DescribeBan(write.ban) + " not written yet: " + error +
                      "; it holds at once and is retried until written",
                  0);
      }
      failed = true;
      lock.lock();
      if (writer_stopping_ && std::chrono::steady_clock::now() >= writer_deadline_) return;
      write_wake_.wait_for(lock, kRetryPause);
      lock.unlock();
    }
    tell_loop(write.loop, failed ? DescribeBan(write.ban) + " written to the ban database" : "",
              write.sequence);
    lock.lock();
    writes_.pop_front();
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

bool BanStore::Insert(const std::string& address, const std::string& name, const std::string& by,
                      const std::string& reason, const std::string& network, std::string* error) {
  sqlite3_stmt* statement = insert_.get();
  ResetOnExit reset{statement};
  Bind(statement, 1, address);
  Bind(statement, 2, name);
  Bind(statement, 3, by);
  Bind(statement, 4, reason);
  Bind(statement, 5, NowLocal());
  Bind(statement, 6, network);
  // Outside an explicit transaction each statement commits on its own.
  if (sqlite3_step(statement) != SQLITE_DONE) {
    if (error != nullptr) *error = sqlite3_errmsg(db_.get());
    return false;
  }
  return true;
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
      "RETURNING id, address, name, \"by\", reason, bandate, banlength, network");
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
  Bind(statement, 1, address);
  std::vector<std::string> networks;
  while (sqlite3_step(statement) == SQLITE_ROW) networks.push_back(ColumnText(statement, 0));
  for (const auto& [sequence, ban] : unsaved_) {
    if (TextCase::Equal(ban.address, address)) networks.push_back(ban.network);
  }
  return networks;
}

bool BanStore::IsBanned(const std::string& address, const std::string& network) const {
  for (const auto& [sequence, ban] : unsaved_) {
    if (TextCase::Equal(ban.address, address) && TextCase::Equal(ban.network, network)) {
      return true;
    }
  }
  sqlite3_stmt* statement = by_address_network_.get();
  ResetOnExit reset{statement};
  Bind(statement, 1, address);
  Bind(statement, 2, network);
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
  for (const Write& left : writes_) {
    const Ban& ban = left.ban;
    modGlobal::LogMessage("Ban not saved (the ban database could not be written): address " +
                          ban.address + ", name " + modGlobal::EscapeForLog(ban.name) +
                          ", network " + modGlobal::EscapeForLog(ban.network) + ", by " +
                          modGlobal::EscapeForLog(ban.by) + ", reason " +
                          modGlobal::EscapeForLog(ban.reason) + ", at " + ban.bandate);
  }
  writes_.clear();
  // Statements left open would keep the connection alive past the close.
  for (Statement* statement : {&insert_, &delete_, &by_address_, &by_address_network_})
    statement->reset();
  // Explicit, so the file is complete even while another connection (an
  // operator's sqlite3 shell) keeps the write-ahead log from being removed.
  sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  db_.reset();
}

void BanStore::ListNetwork(std::string network, size_t room, EntryFormat format,
                           asio::io_context& loop, ListReady ready) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back({std::move(network), room, std::move(format), &loop, std::move(ready)});
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
  if (sqlite3_prepare_v2(raw, kSelectNetwork, -1, &prepared, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(raw);
    return std::nullopt;
  }
  Statement select(prepared);
  Bind(prepared, 1, request.network);
  std::string text(request.room, '\0');
  while ((rc = sqlite3_step(prepared)) == SQLITE_ROW) {
    if (stopping_) return std::nullopt;
    request.format(ReadRow(prepared), text);
  }
  if (rc != SQLITE_DONE) {
    *error = sqlite3_errmsg(raw);
    return std::nullopt;
  }
  return text;
}

}  // namespace brelvint
