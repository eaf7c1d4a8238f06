#include "sqlite_db.hpp"

#include <utility>

namespace velmora::session_store::detail {

namespace {

// The store holds a few pages and runs a handful of statements a session, so SQLite's
// up-front allocations (a block of 20 cache pages, 120 KiB of lookaside slots per connection,
// each written through when set up) were most of a short run's heap. Process-wide settings,
// accepted only before SQLite initialises: a refusal (a host program that initialised it
// first) leaves SQLite's defaults, which work just as well.
void configure_sqlite_once() {
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
    return true;
  }();
  (void)configured;
}

}  // namespace

Database::Database(const std::filesystem::path& path, bool create) {
  configure_sqlite_once();
  int flags = SQLITE_OPEN_READWRITE;
  if (create) flags |= SQLITE_OPEN_CREATE;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    // sqlite3_open_v2 hands back a handle even on failure; it carries the message.
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw SqliteError(rc, message);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() { sqlite3_close_v2(db_); }

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    sqlite3_close_v2(db_);
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

void Database::set_busy_timeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

void Database::exec(const char* sql) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) raise(rc);
}

Statement Database::prepare(std::string_view sql) { return Statement(*this, sql); }

void Database::raise(int code) const {
  throw SqliteError(code, db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
}

Statement::Statement(const Database& db, std::string_view sql) : db_(db) {
  const int rc =
      sqlite3_prepare_v2(db.get(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) db.raise(rc);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::bind(int index, const std::optional<std::string>& value) {
  const int rc = value ? sqlite3_bind_text(stmt_, index, value->data(),
                                           static_cast<int>(value->size()), SQLITE_TRANSIENT)
                       : sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) db_.raise(rc);
}

void Statement::bind(int index, std::int64_t value) {
  const int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) db_.raise(rc);
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.raise(rc);
}

std::optional<std::string> Statement::column_text(int index) const {
  if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return std::nullopt;
  const auto* text = sqlite3_column_text(stmt_, index);
  const int size = sqlite3_column_bytes(stmt_, index);
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::int64_t Statement::column_int(int index) const { return sqlite3_column_int64(stmt_, index); }

Transaction::Transaction(Database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (done_) return;
  // Nothing useful can be done when the rollback itself fails: the connection is dropped by the
  // caller's error path and SQLite rolls back on close.
  sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace velmora::session_store::detail
