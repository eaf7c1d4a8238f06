#include "thread_store.hpp"

#include <utility>

#include "text_util.hpp"
#include "velmora/base/errors.hpp"

namespace velmora::agent_sim {

ThreadStore::ThreadStore(std::size_t history_limit) : history_limit_(history_limit) {}

Binding ThreadStore::bind(const std::optional<std::string>& requested, const std::string& user_id,
                          bool fresh) {
  const bool asked = requested && !requested->empty();
  if (asked && !fresh) {
    const auto it = threads_.find(*requested);
    if (it == threads_.end()) {
      threads_[*requested].user_id = user_id;
      dirty_ = true;
      return {*requested, true, false};
    }
    if (it->second.user_id == user_id) return {*requested, false, false};
    // Another user's thread: never show its history to this user.
  }
  std::string id = random_uuid();
  threads_[id].user_id = user_id;
  dirty_ = true;
  return {std::move(id), true, asked};
}

const ThreadRecord* ThreadStore::find(std::string_view thread_id) const {
  const auto it = threads_.find(thread_id);
  return it == threads_.end() ? nullptr : &it->second;
}

void ThreadStore::begin_turn(std::string_view thread_id, LastQuery query) {
  const auto it = threads_.find(thread_id);
  if (it == threads_.end()) return;
  auto& record = it->second;
  record.turns.emplace_back();
  ++record.query_count;
  record.last_query = std::move(query);
  trim(record);
  dirty_ = true;
}

void ThreadStore::append_frame(std::string_view thread_id, std::string frame) {
  const auto it = threads_.find(thread_id);
  if (it == threads_.end()) return;
  auto& record = it->second;
  if (record.turns.empty()) record.turns.emplace_back();
  record.turns.back().push_back(std::move(frame));
  ++record.frame_count;
  trim(record);
  dirty_ = true;
}

void ThreadStore::trim(ThreadRecord& record) const {
  while (record.frame_count > history_limit_ && record.turns.size() > 1) {
    record.frame_count -= record.turns.front().size();
    record.turns.pop_front();
  }
}

boost::json::object ThreadStore::to_json() const {
  boost::json::object threads;
  for (const auto& [id, record] : threads_) {
    boost::json::array turns;
    for (const auto& turn : record.turns) {
      boost::json::array frames;
      for (const auto& frame : turn) frames.emplace_back(frame);
      turns.emplace_back(std::move(frames));
    }
    boost::json::object entry{{"user_id", record.user_id},
                              {"query_count", record.query_count},
                              {"turns", std::move(turns)}};
    if (record.last_query) {
      boost::json::object last{{"scenario", record.last_query->scenario},
                               {"language", record.last_query->language}};
      if (record.last_query->config) last["config"] = *record.last_query->config;
      entry["last_query"] = std::move(last);
    }
    threads[id] = std::move(entry);
  }
  return threads;
}

void ThreadStore::load_json(const boost::json::object& saved) {
  const auto fail = [](const std::string& id, const char* what) {
    throw velmora::base::RuntimeError("malformed thread " + id + " in state file: " + what);
  };
  std::map<std::string, ThreadRecord, std::less<>> loaded;
  for (const auto& [key, value] : saved) {
    const std::string id(key);
    const auto* entry = value.if_object();
    if (entry == nullptr) fail(id, "not an object");
    ThreadRecord record;
    const auto* user = entry->if_contains("user_id");
    if (user == nullptr || !user->is_string()) fail(id, "user_id");
    record.user_id = std::string(user->get_string());
    if (const auto* count = entry->if_contains("query_count")) {
      if (!count->is_number()) fail(id, "query_count");
      record.query_count = count->to_number<std::size_t>();
    }
    const auto* turns = entry->if_contains("turns");
    if (turns == nullptr || !turns->is_array()) fail(id, "turns");
    for (const auto& turn : turns->get_array()) {
      if (!turn.is_array()) fail(id, "turn");
      std::vector<std::string> frames;
      for (const auto& frame : turn.get_array()) {
        if (!frame.is_string()) fail(id, "frame");
        frames.emplace_back(frame.get_string());
      }
      record.frame_count += frames.size();
      record.turns.push_back(std::move(frames));
    }
    if (const auto* last = entry->if_contains("last_query")) {
      const auto* obj = last->if_object();
      if (obj == nullptr) fail(id, "last_query");
      LastQuery query;
      const auto* scenario = obj->if_contains("scenario");
      const auto* language = obj->if_contains("language");
      if (scenario == nullptr || !scenario->is_string() || language == nullptr ||
          !language->is_string()) {
        fail(id, "last_query");
      }
      query.scenario = std::string(scenario->get_string());
      query.language = std::string(language->get_string());
      if (const auto* config = obj->if_contains("config")) {
        if (!config->is_object()) fail(id, "last_query config");
        query.config = config->get_object();
      }
      record.last_query = std::move(query);
    }
    loaded.emplace(id, std::move(record));
  }
  threads_ = std::move(loaded);
}

bool ThreadStore::take_dirty() noexcept { return std::exchange(dirty_, false); }

}  // namespace velmora::agent_sim
