// Saved sessions: one record per thread, most recently updated first.
//
// `SessionStore` is the interface the program calls; `VelmoraSessionStore` keeps the records in
// SQLite under $XDG_STATE_HOME/velmora/sessions.db. A store that cannot be opened reports one
// warning and then works as an empty, unsaved store: a session never fails because of it.
// A file found damaged when opened (not a database, or pages lost) is never deleted or
// rewritten: it is moved aside with its journal (sessions.db.damaged-<UTC time>), the one
// warning says where, and a new file is started. Several CLIs may use the same file at once
// (WAL journal, busy time-out, and retries where SQLite reports a lock without waiting).
//
// Threading: one instance per session run, used from one thread at a time.
//
//   VelmoraSessionStore store([&](const std::string& w) { renderer.render_session_notice(w, true);
//   }); store.upsert_session({.thread_id = id, .endpoint = url, .user_id = user}); for (const auto&
//   record : store.list_sessions(url, user, 20)) ...
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>

namespace velmora::session_store {

/// Rows kept; older ones are removed on every upsert.
inline constexpr int MAX_SAVED_SESSIONS = 500;

/// Keys: "thread_id", "endpoint", "user_id", "language", "cwd", "branch", "conversation",
/// "created_at", "updated_at" (ISO 8601 UTC text). Absent values are left out.
using SessionRecord = boost::json::object;

struct SessionUpsert {
  std::string thread_id;
  std::optional<std::string> endpoint;
  std::optional<std::string> user_id;
  std::optional<std::string> language;
  std::optional<std::string> cwd;
  std::optional<std::string> branch;
};

class SessionStore {
 public:
  virtual ~SessionStore() = default;
  /// Records of that endpoint and user (both filters applied when given), newest first.
  virtual std::vector<SessionRecord> list_sessions(const std::optional<std::string>& endpoint,
                                                   const std::optional<std::string>& user_id,
                                                   int limit = 20) = 0;
  /// All records, newest first.
  std::vector<SessionRecord> list_sessions(int limit = 20) {
    return list_sessions(std::nullopt, std::nullopt, limit);
  }
  /// Creates or refreshes the record of the thread (keeps created_at).
  virtual void upsert_session(const SessionUpsert& session) = 0;
  /// Stores the topic title on the thread's record.
  virtual void update_conversation(const std::string& thread_id,
                                   const std::string& conversation) = 0;
};

/// $XDG_STATE_HOME/velmora/sessions.db; ~/.local/state when XDG_STATE_HOME is unset or relative.
[[nodiscard]] std::filesystem::path default_database_path();

/// `2026-03-25T02:36:21.123456Z`: fixed width, so text order is time order.
[[nodiscard]] std::string format_utc_timestamp(std::chrono::system_clock::time_point when);

class VelmoraSessionStore final : public SessionStore {
 public:
  /// Receives the one warning (it names the database file and any set-aside copy); empty:
  /// printed on standard error.
  using WarningHandler = std::function<void(const std::string&)>;
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  /// When the file is opened (and any warning given): at construction, or by the first call,
  /// so that a session reaches its server before it touches the disk.
  enum class Opening { now, on_first_use };

  /// `database` defaults to default_database_path(); `clock` to the system clock.
  explicit VelmoraSessionStore(WarningHandler on_warning = {},
                               std::optional<std::filesystem::path> database = std::nullopt,
                               Clock clock = {}, Opening opening = Opening::now);
  ~VelmoraSessionStore() override;

  using SessionStore::list_sessions;
  std::vector<SessionRecord> list_sessions(const std::optional<std::string>& endpoint,
                                           const std::optional<std::string>& user_id,
                                           int limit) override;
  void upsert_session(const SessionUpsert& session) override;
  void update_conversation(const std::string& thread_id, const std::string& conversation) override;

  /// False once the database turned out unusable (records are then neither read nor saved).
  [[nodiscard]] bool available() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::session_store
