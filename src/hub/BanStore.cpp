#include "hub/BanStore.h"

#include <ctime>
#include <stdexcept>

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
    "network TEXT);"
    "CREATE INDEX IF NOT EXISTS bans_address ON bans(address COLLATE NOCASE);";

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
  sqlite3_busy_timeout(raw, 2000);
  char* message = nullptr;
  rc = sqlite3_exec(raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                    &message);
  if (rc == SQLITE_OK) rc = sqlite3_exec(raw, kCreateTable, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string reason = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    throw std::runtime_error("cannot open ban database " + file.string() + ": " + reason);
  }
  insert_ = Prepare(
      "INSERT INTO bans (address, \"by\", reason, bandate, banlength, network) "
      "VALUES (?, ?, ?, ?, 1, ?)");
  select_all_ = Prepare(
      "SELECT id, address, \"by\", reason, bandate, banlength, network FROM bans ORDER BY id");
  delete_ = Prepare("DELETE FROM bans WHERE id = ?");
  by_address_ = Prepare("SELECT DISTINCT network FROM bans WHERE address = ? COLLATE NOCASE");
  by_address_network_ = Prepare(
      "SELECT 1 FROM bans WHERE address = ? COLLATE NOCASE AND network = ? COLLATE NOCASE LIMIT 1");
}

BanStore::~BanStore() = default;

BanStore::Statement BanStore::Prepare(const char* sql) const {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    throw std::runtime_error("cannot open ban database " + file_.string() + ": " +
                             sqlite3_errmsg(db_.get()));
  }
  return Statement(statement);
}

bool BanStore::Insert(const std::string& address, const std::string& by, const std::string& reason,
                      const std::string& network, std::string* error) {
  sqlite3_stmt* statement = insert_.get();
  ResetOnExit reset{statement};
  Bind(statement, 1, address);
  Bind(statement, 2, by);
  Bind(statement, 3, reason);
  Bind(statement, 4, NowLocal());
  Bind(statement, 5, network);
  // Outside an explicit transaction each statement commits on its own.
  if (sqlite3_step(statement) != SQLITE_DONE) {
    if (error != nullptr) *error = sqlite3_errmsg(db_.get());
    return false;
  }
  return true;
}

bool BanStore::All(std::vector<Ban>* rows) const {
  sqlite3_stmt* statement = select_all_.get();
  ResetOnExit reset{statement};
  rows->clear();
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    Ban ban;
    ban.id = sqlite3_column_int64(statement, 0);
    ban.address = ColumnText(statement, 1);
    ban.by = ColumnText(statement, 2);
    ban.reason = ColumnText(statement, 3);
    ban.bandate = ColumnText(statement, 4);
    ban.banlength = sqlite3_column_int64(statement, 5);
    ban.network = ColumnText(statement, 6);
    rows->push_back(std::move(ban));
  }
  return rc == SQLITE_DONE;
}

bool BanStore::Delete(int64_t id) {
  sqlite3_stmt* statement = delete_.get();
  ResetOnExit reset{statement};
  sqlite3_bind_int64(statement, 1, id);
  return sqlite3_step(statement) == SQLITE_DONE;
}

std::vector<std::string> BanStore::NetworksBanning(const std::string& address) const {
  sqlite3_stmt* statement = by_address_.get();
  ResetOnExit reset{statement};
  Bind(statement, 1, address);
  std::vector<std::string> networks;
  while (sqlite3_step(statement) == SQLITE_ROW) networks.push_back(ColumnText(statement, 0));
  return networks;
}

bool BanStore::IsBanned(const std::string& address, const std::string& network) const {
  sqlite3_stmt* statement = by_address_network_.get();
  ResetOnExit reset{statement};
  Bind(statement, 1, address);
  Bind(statement, 2, network);
  return sqlite3_step(statement) == SQLITE_ROW;
}

void BanStore::Close() {
  if (!db_) return;
  // Statements left open would keep the connection alive past the close.
  for (Statement* statement :
       {&insert_, &select_all_, &delete_, &by_address_, &by_address_network_})
    statement->reset();
  // Explicit, so the file is complete even while another connection (an
  // operator's sqlite3 shell) keeps the write-ahead log from being removed.
  sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  db_.reset();
}

}  // namespace brelvint
