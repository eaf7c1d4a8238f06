// Small RAII wrappers over the sqlite3 C API: a connection and prepared statements.
// Every failure throws SqliteError carrying SQLite's own message and (extended) result code.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora::session_store::detail {

class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  [[nodiscard]] int code() const noexcept { return code_; }
  /// The file is not a database or its pages are damaged: retrying cannot help.
  /// Another connection holds the lock; SQLite gives up without waiting in some cases (a
  /// journal-mode change, WAL recovery), so the caller retries.
  [[nodiscard]] bool busy() const noexcept {
    const int primary = code_ & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
  }
  [[nodiscard]] bool damaged() const noexcept {
    const int primary = code_ & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
  }

 private:
  int code_;
};

class Statement;

class Database {
 public:
  Database() = default;
  /// Opens (creating when `create`) the file read-write.
  Database(const std::filesystem::path& path, bool create);
  ~Database();
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  [[nodiscard]] bool is_open() const noexcept { return db_ != nullptr; }
  [[nodiscard]] sqlite3* get() const noexcept { return db_; }
  void set_busy_timeout(int milliseconds);
  /// Runs statements that take no parameters and whose rows are not needed.
  void exec(const char* sql);
  [[nodiscard]] Statement prepare(std::string_view sql);
  [[noreturn]] void raise(int code) const;

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(const Database& db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  /// Parameters are 1-based; nothing binds NULL.
  void bind(int index, const std::optional<std::string>& value);
  void bind(int index, std::int64_t value);
  /// True while a row is available.
  bool step();
  [[nodiscard]] std::optional<std::string> column_text(int index) const;
  [[nodiscard]] std::int64_t column_int(int index) const;

 private:
  const Database& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

/// BEGIN IMMEDIATE ... COMMIT, rolled back when left without commit.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();

 private:
  Database& db_;
  bool done_ = false;
};

}  // namespace velmora::session_store::detail
