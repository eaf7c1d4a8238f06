#include "velmora/session_store/session_store.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "sqlite_db.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/platform/file_lock.hpp"
#include "velmora/platform/files.hpp"

namespace velmora::session_store {

namespace fs = std::filesystem;
using detail::Database;
using detail::SqliteError;
using detail::Statement;
using detail::Transaction;

namespace {

/// Long enough to outlast other CLIs' writes on a loaded machine (twenty at once on two busy cores
/// overran five seconds); short enough that a stuck lock is reported.
constexpr int BUSY_TIMEOUT_MS = 15000;
/// How every SQLite database file begins.
constexpr std::string_view SQLITE_HEADER{"SQLite format 3\0", 16};
/// Setting a damaged file aside waits this long for another CLI doing the same.
constexpr double LOCK_WAIT_SECONDS = 5;

constexpr const char* SCHEMA_SQL = R"sql(
CREATE TABLE IF NOT EXISTS sessions (
  thread_id    TEXT PRIMARY KEY NOT NULL,
  endpoint     TEXT,
  user_id      TEXT,
  language     TEXT,
  cwd          TEXT,
  branch       TEXT,
  conversation TEXT,
  created_at   TEXT NOT NULL,
  updated_at   TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS sessions_by_update ON sessions (updated_at DESC);
)sql";

constexpr std::string_view SELECT_SQL = R"sql(
SELECT thread_id, endpoint, user_id, language, cwd, branch, conversation, created_at, updated_at
FROM sessions
WHERE (?1 IS NULL OR endpoint = ?1) AND (?2 IS NULL OR user_id = ?2)
ORDER BY updated_at DESC, created_at DESC, rowid DESC
LIMIT ?3
)sql";

constexpr std::array<const char*, 9> COLUMNS = {"thread_id",    "endpoint",   "user_id",
                                                "language",     "cwd",        "branch",
                                                "conversation", "created_at", "updated_at"};

constexpr std::string_view UPSERT_SQL = R"sql(
INSERT INTO sessions (thread_id, endpoint, user_id, language, cwd, branch, created_at, updated_at)
VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7)
ON CONFLICT (thread_id) DO UPDATE SET
  endpoint = excluded.endpoint, user_id = excluded.user_id, language = excluded.language,
  cwd = excluded.cwd, branch = excluded.branch, updated_at = excluded.updated_at
)sql";

// Deletes the oldest rows beyond the newest ?1, the order `list_sessions` shows. Walking the
// oldest rows up the update index stops after the few it deletes; keeping "rowid NOT IN (the
// newest ?1)" instead built a temporary index of every row at every save (15 000 VM steps at the
// cap, 76 this way).
constexpr std::string_view PRUNE_SQL = R"sql(
DELETE FROM sessions WHERE rowid IN (
  SELECT rowid FROM sessions ORDER BY updated_at ASC, created_at ASC, rowid ASC
  LIMIT max(0, (SELECT count(*) FROM sessions) - ?1))
)sql";

constexpr std::string_view CONVERSATION_SQL =
    "UPDATE sessions SET conversation = ?2, updated_at = ?3 WHERE thread_id = ?1";

fs::path home_folder() {
  if (auto home = platform::get_env("HOME"); home && !home->empty()) return *home;
  std::array<char, 4096> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return fs::current_path();
}

// 20261208T071500Z: a set-aside file's name says when it was found damaged.
std::string aside_stamp(std::chrono::system_clock::time_point when) {
  const auto text = format_utc_timestamp(when);
  std::string stamp;
  for (char c : text.substr(0, 19)) {
    if (c != '-' && c != ':') stamp += c;
  }
  return stamp + "Z";
}

void print_warning(const std::string& text) { std::cerr << "Warning: " << text << '\n'; }

}  // namespace

fs::path default_database_path() {
  fs::path state;
  // Relative values are to be ignored (XDG base directory rules).
  if (auto xdg = platform::get_env("XDG_STATE_HOME"); xdg && fs::path(*xdg).is_absolute()) {
    state = *xdg;
  } else {
    state = home_folder() / ".local" / "state";
  }
  return state / "velmora" / "sessions.db";
}

std::string format_utc_timestamp(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto micros = duration_cast<microseconds>(when.time_since_epoch()).count();
  auto seconds = static_cast<std::time_t>(micros / 1'000'000);
  auto fraction = micros % 1'000'000;
  if (fraction < 0) {
    fraction += 1'000'000;
    --seconds;
  }
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  std::array<char, 40> text{};
  const auto n = std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ",
                               parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                               parts.tm_min, parts.tm_sec, static_cast<long long>(fraction));
  return std::string(text.data(), static_cast<std::size_t>(n));
}

struct VelmoraSessionStore::Impl {
  fs::path path;
  WarningHandler on_warning;
  Clock clock;
  Database db;
  /// At most one warning per store, so a broken file does not flood the session.
  bool warned = false;
  bool opened = false;

  /// The open database, opened on first use (its one warning comes then); null when the store
  /// is unusable.
  Database* database() {
    if (!opened) {
      opened = true;
      open();
    }
    return db.is_open() ? &db : nullptr;
  }

  void warn(const std::string& text) {
    if (warned) return;
    warned = true;
    if (on_warning) {
      on_warning(text);
    } else {
      print_warning(text);
    }
  }

  // A store that cannot be made private still keeps sessions (they hold no secrets), but the
  // user hears that others may read it.
  void keep_private(const fs::path& target, mode_t mode) {
    try {
      platform::set_mode(target, mode);
    } catch (const velmora::base::OSError& e) {
      warn(std::string("Saved sessions may be readable by other users: ") + e.what() + ".");
    }
  }

  void give_up(const std::string& reason) {
    db = Database();
    warn("Saved sessions are unavailable: " + reason + ". This session will not be saved.");
  }

  void open() {
    std::error_code ec;
    const fs::path folder = path.parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
      fs::create_directories(folder, ec);
      if (ec) {
        give_up("cannot open " + path.string() + " (its folder cannot be created: " + ec.message() +
                ")");
        return;
      }
      // Session records name the user's folders and accounts: keep them private.
      keep_private(folder, 0700);
    }
    std::string damage;
    try {
      retrying([this] { connect(); });
      return;
    } catch (const SqliteError& e) {
      if (!e.damaged()) {
        give_up("cannot open " + path.string() + " (" + e.what() + ")");
        return;
      }
      damage = e.what();
    }
    try {
      set_aside(damage);
    } catch (const SqliteError& e) {
      give_up(path.string() + " is damaged (" + e.what() + ")");
    }
  }

  // Runs `step` again while another CLI holds the database, up to the busy time-out.
  template <class Step>
  static void retrying(Step&& step) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    for (int attempt = 1;; ++attempt) {
      try {
        step();
        return;
      } catch (const SqliteError& e) {
        if (!e.busy() || std::chrono::steady_clock::now() >= deadline) throw;
      }
      // Spread the retries so that CLIs started together do not collide again.
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + (attempt * 7) % 23));
    }
  }

  // Opens the file (creating it), proves it readable and brings its schema up to date.
  void connect() {
    db = Database();
    std::error_code ec;
    const bool existed = fs::exists(path, ec);
    if (existed) check_header();
    db = Database(path, true);
    if (!existed) keep_private(path, 0600);
    db.set_busy_timeout(BUSY_TIMEOUT_MS);
    // The pragma answers with a row; it is also the first read of the file's header.
    auto wal = db.prepare("PRAGMA journal_mode=WAL");
    while (wal.step()) {
    }
    // With the WAL journal a commit stays atomic without waiting for the disk; only the
    // checkpoint syncs. A power cut may lose the last saved session, never the file.
    db.exec("PRAGMA synchronous=NORMAL");
    // A truncated file keeps a readable header and fails only on the pages it lost; the store
    // is small (MAX_SAVED_SESSIONS rows), so checking every page costs about a millisecond.
    auto check = db.prepare("PRAGMA quick_check(1)");
    if (check.step()) {
      if (auto verdict = check.column_text(0); verdict && *verdict != "ok") {
        throw SqliteError(SQLITE_CORRUPT, *verdict);
      }
    }
    db.exec(SCHEMA_SQL);
    // Preparing proves an existing table has the columns we read and write.
    Statement probe(db, SELECT_SQL);
    Statement probe_upsert(db, UPSERT_SQL);
  }

  // SQLite deletes the journal of a file it cannot read when it closes it; a file that is no
  // database at all is recognised here, before SQLite opens it, so its journal can be kept.
  void check_header() const {
    std::ifstream in(path, std::ios::binary);
    std::array<char, SQLITE_HEADER.size()> head{};
    in.read(head.data(), head.size());
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got > 0 && std::string_view(head.data(), got) != SQLITE_HEADER.substr(0, got)) {
      throw SqliteError(SQLITE_NOTADB, "file is not a database");
    }
  }

  // Moves the damaged file (with its journal files, so SQLite still pairs them) beside itself
  // and starts a new one: the user's rows stay recoverable and later sessions are saved again.
  // Under a lock, so two CLIs finding the same damage do not move each other's fresh file.
  void set_aside(const std::string& reason) {
    db = Database();
    std::optional<platform::FileLock> lock;
    try {
      auto lock_path = path;
      lock_path += ".lock";
      lock.emplace(lock_path, LOCK_WAIT_SECONDS);
    } catch (const velmora::base::Error& e) {
      throw SqliteError(SQLITE_CORRUPT, reason + "; it could not be moved aside: " + e.what() +
                                            ", so it was left as it is");
    }
    // Another CLI may have replaced it while we waited.
    try {
      retrying([this] { connect(); });
      return;
    } catch (const SqliteError& e) {
      if (!e.damaged()) throw;
      db = Database();
    }
    const fs::path aside = free_aside_name();
    std::error_code ec;
    fs::rename(path, aside, ec);
    if (ec) {
      throw SqliteError(SQLITE_CORRUPT, reason + "; it could not be moved aside: " + ec.message() +
                                            ", so it was left as it is");
    }
    for (const char* suffix : {"-wal", "-journal", "-shm"}) {
      fs::path from = path;
      from += suffix;
      fs::path to = aside;
      to += suffix;
      if (!fs::exists(from, ec)) continue;
      fs::rename(from, to, ec);
      // A journal left behind would be replayed into the new file; the shared-memory index is
      // rebuilt from the journal and may stay.
      if (ec && std::string_view(suffix) != "-shm") {
        throw SqliteError(SQLITE_CORRUPT, reason + "; it was moved to " + aside.string() +
                                              " but its journal could not follow: " + ec.message());
      }
    }
    retrying([this] { connect(); });
    warn(path.string() + " was damaged (" + reason + "); it was moved to " + aside.string() +
         " and a new one was started.");
  }

  fs::path free_aside_name() const {
    const auto stamp = aside_stamp(clock ? clock() : std::chrono::system_clock::now());
    for (int n = 0;; ++n) {
      fs::path candidate = path;
      candidate += ".damaged-" + stamp + (n == 0 ? "" : "-" + std::to_string(n));
      std::error_code ec;
      if (!fs::exists(candidate, ec) && !ec) return candidate;
    }
  }

  /// A damaged file stops all further use; anything else (a lock held too long, a full disk)
  /// is reported once and later calls try again.
  void failed(const SqliteError& e, std::string_view action) {
    if (e.damaged()) {
      give_up(path.string() + " is damaged (" + e.what() + "); the file was left as it is");
    } else {
      warn("Could not " + std::string(action) + " " + path.string() + " (" + e.what() + ").");
    }
  }

  std::string now() const {
    return format_utc_timestamp(clock ? clock() : std::chrono::system_clock::now());
  }
};

VelmoraSessionStore::VelmoraSessionStore(WarningHandler on_warning,
                                         std::optional<fs::path> database, Clock clock,
                                         Opening opening)
    : impl_(std::make_unique<Impl>()) {
  impl_->path = database ? std::move(*database) : default_database_path();
  impl_->on_warning = std::move(on_warning);
  impl_->clock = std::move(clock);
  if (opening == Opening::now) impl_->database();
}

VelmoraSessionStore::~VelmoraSessionStore() = default;

bool VelmoraSessionStore::available() const { return impl_->database() != nullptr; }

std::vector<SessionRecord> VelmoraSessionStore::list_sessions(
    const std::optional<std::string>& endpoint, const std::optional<std::string>& user_id,
    int limit) {
  std::vector<SessionRecord> records;
  Database* db = impl_->database();
  if (db == nullptr || limit <= 0) return records;
  try {
    Impl::retrying([&] {
      records.clear();
      Statement select(*db, SELECT_SQL);
      select.bind(1, endpoint);
      select.bind(2, user_id);
      select.bind(3, static_cast<std::int64_t>(limit));
      while (select.step()) {
        SessionRecord record;
        for (int i = 0; i < static_cast<int>(COLUMNS.size()); ++i) {
          if (auto value = select.column_text(i)) record[COLUMNS[i]] = *value;
        }
        records.push_back(std::move(record));
      }
    });
  } catch (const SqliteError& e) {
    impl_->failed(e, "read saved sessions from");
    records.clear();
  }
  return records;
}

void VelmoraSessionStore::upsert_session(const SessionUpsert& session) {
  Database* db = impl_->database();
  if (db == nullptr || session.thread_id.empty()) return;
  try {
    Impl::retrying([&] {
      Transaction transaction(*db);
      Statement upsert(*db, UPSERT_SQL);
      upsert.bind(1, session.thread_id);
      upsert.bind(2, session.endpoint);
      upsert.bind(3, session.user_id);
      upsert.bind(4, session.language);
      upsert.bind(5, session.cwd);
      upsert.bind(6, session.branch);
      upsert.bind(7, impl_->now());
      upsert.step();
      Statement prune(*db, PRUNE_SQL);
      prune.bind(1, static_cast<std::int64_t>(MAX_SAVED_SESSIONS));
      prune.step();
      transaction.commit();
    });
  } catch (const SqliteError& e) {
    impl_->failed(e, "save the session to");
  }
}

void VelmoraSessionStore::update_conversation(const std::string& thread_id,
                                              const std::string& conversation) {
  Database* db = impl_->database();
  if (db == nullptr || thread_id.empty()) return;
  try {
    Impl::retrying([&] {
      Statement update(*db, CONVERSATION_SQL);
      update.bind(1, thread_id);
      update.bind(2, conversation);
      update.bind(3, impl_->now());
      update.step();
    });
  } catch (const SqliteError& e) {
    impl_->failed(e, "save the session title to");
  }
}

}  // namespace velmora::session_store
