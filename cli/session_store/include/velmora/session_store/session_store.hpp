// Saved sessions: one record per thread, most recently updated first.
//
// `SessionStore` is the interface the program calls; `VelmoraSessionStore` keeps the records in
// SQLite under $XDG_STATE_HOME/velmora/sessions.db. A store that cannot be opened reports one
// warning and then works as an empty, unsaved store: a session never fails because of it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>

namespace velmora::session_store {

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

class VelmoraSessionStore final : public SessionStore {
 public:
  using WarningHandler = std::function<void(const std::string&)>;

  /// `database` defaults to $XDG_STATE_HOME/velmora/sessions.db (~/.local/state).
  explicit VelmoraSessionStore(WarningHandler on_warning = {},
                               std::optional<std::filesystem::path> database = std::nullopt);
  ~VelmoraSessionStore() override;

  using SessionStore::list_sessions;
  std::vector<SessionRecord> list_sessions(const std::optional<std::string>& endpoint,
                                           const std::optional<std::string>& user_id,
                                           int limit) override;
  void upsert_session(const SessionUpsert& session) override;
  void update_conversation(const std::string& thread_id, const std::string& conversation) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::session_store
