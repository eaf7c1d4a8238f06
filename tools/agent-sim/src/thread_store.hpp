// Conversation threads: who owns them, the frames each turn sent (replayed on resume) and
// the settings of the latest query (echoed in the "config" message).
//
//   ThreadStore threads(10000);
//   auto b = threads.bind("t1", "u1", false);   // {"t1", is_new = true}
//   threads.begin_turn("t1");
//   threads.append_frame("t1", R"({"type": "complete"})");
//   threads.bind("t1", "u1", false).is_new;      // false: history follows
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>

namespace velmora::agent_sim {

/// What the "config" echo reports about a thread's latest query.
struct LastQuery {
  std::string scenario;
  std::string language;
  std::optional<boost::json::object> config;
};

struct ThreadRecord {
  std::string user_id;
  /// Frames exactly as sent, one list per turn, oldest first.
  std::deque<std::vector<std::string>> turns;
  /// Sum of the sizes of `turns`.
  std::size_t frame_count = 0;
  std::size_t query_count = 0;
  std::optional<LastQuery> last_query;
};

struct Binding {
  std::string thread_id;
  bool is_new = true;
  /// A thread id was asked for and another one was bound.
  bool replaced_request = false;
};

class ThreadStore {
 public:
  /// Keeps at most `history_limit` frames per thread by dropping whole oldest turns; the
  /// newest turn is always kept.
  explicit ThreadStore(std::size_t history_limit);

  /// Binds a session of `user_id`: a known thread of the same user is resumed; an unknown
  /// id is created as asked; no id, another user's thread or `fresh` give a new UUID.
  Binding bind(const std::optional<std::string>& requested, const std::string& user_id, bool fresh);

  [[nodiscard]] const ThreadRecord* find(std::string_view thread_id) const;

  /// Starts a turn for a query; later frames belong to it.
  void begin_turn(std::string_view thread_id, LastQuery query);
  void append_frame(std::string_view thread_id, std::string frame);

  [[nodiscard]] std::size_t size() const noexcept { return threads_.size(); }

  [[nodiscard]] boost::json::object to_json() const;
  /// Replaces the threads with saved ones; throws velmora::base::RuntimeError on a malformed value.
  void load_json(const boost::json::object& saved);

  /// Changed since the last call.
  bool take_dirty() noexcept;
  /// Counts as changed (a failed save is retried at the next save).
  void mark_dirty() noexcept { dirty_ = true; }

 private:
  void trim(ThreadRecord& record) const;

  std::size_t history_limit_;
  std::map<std::string, ThreadRecord, std::less<>> threads_;
  bool dirty_ = false;
};

}  // namespace velmora::agent_sim
