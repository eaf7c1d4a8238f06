#include "velmora/replay_filter.hpp"

#include <algorithm>
#include <array>

#include <boost/json/serializer.hpp>

namespace velmora {

namespace {

/// The streamed text a delta message adds, with its message id; nothing for other messages.
const boost::json::string* delta_text(const events::AgentEvent& event,
                                      const boost::json::string** message_id) {
  if (event.kind != events::EventKind::answer_delta) return nullptr;
  const boost::json::object& msg = event.message;
  const auto* id = msg.if_contains("message_id");
  const auto* delta = msg.if_contains("delta");
  if (id == nullptr || !id->is_string() || delta == nullptr || !delta->is_string()) return nullptr;
  *message_id = &id->get_string();
  return &delta->get_string();
}

}  // namespace

std::uint64_t ReplayFilter::digest(const boost::json::object& msg) {
  // FNV-1a over the serialised text, a buffer at a time: a 64 MiB message needs no copy.
  std::uint64_t hash = 14695981039346656037ull;
  boost::json::serializer serializer;
  serializer.reset(&msg);
  std::array<char, 4096> buffer{};
  while (!serializer.done()) {
    for (const char c : serializer.read(buffer.data(), buffer.size())) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
  }
  return hash;
}

bool ReplayFilter::observe(std::string_view thread_id, events::AgentEvent& event, bool historical) {
  if (thread_id != thread_id_) {
    // Another thread's history has nothing in common with this one's.
    thread_id_ = std::string(thread_id);
    seen_.clear();
    before_.clear();
    texts_.clear();
    text_bytes_ = 0;
    repeating_ = false;
    repeat_expected_ = false;
  }
  if (historical && repeat_expected_) start_repeat();
  if (!historical) {
    // Live output: any replay is over, and a reconnect that replayed nothing is too.
    repeat_expected_ = false;
    if (repeating_) {
      repeating_ = false;
      before_ = {};
    }
  }

  const boost::json::string* message_id = nullptr;
  if (const auto* delta = delta_text(event, &message_id)) {
    return observe_delta(std::string(*message_id), event.message, *delta, historical && repeating_);
  }
  const std::uint64_t d = digest(event.message);
  const bool repeat = historical && repeating_ && matches_earlier(d);
  // The replay is the service's record of the thread, so it replaces what was seen before.
  seen_.push_back(d);
  if (seen_.size() > MAX_REMEMBERED) seen_.pop_front();
  return repeat;
}

void ReplayFilter::start_repeat() {
  repeat_expected_ = false;
  // A replay cut short by another drop knew less than the record it was matched against.
  if (!repeating_) before_ = std::move(seen_);
  seen_.clear();
  cursor_ = 0;
  unmatched_ = 0;
  matched_any_ = false;
  repeating_ = true;
  for (auto& [id, stream] : texts_) stream.replayed = 0;
}

bool ReplayFilter::matches_earlier(std::uint64_t d) {
  // Until the first match the replay may start anywhere (the service forgets its oldest turns);
  // after it, repeats follow in order, with at most a few unreplayed messages in between.
  const bool anywhere = !matched_any_ && unmatched_ < LOOKAHEAD;
  const std::size_t end = anywhere ? before_.size() : std::min(before_.size(), cursor_ + LOOKAHEAD);
  for (std::size_t i = cursor_; i < end; ++i) {
    if (before_[i] == d) {
      cursor_ = i + 1;
      matched_any_ = true;
      return true;
    }
  }
  ++unmatched_;
  return false;
}

bool ReplayFilter::observe_delta(const std::string& message_id, boost::json::object& msg,
                                 std::string_view delta, bool repeating) {
  auto [it, added] = texts_.try_emplace(message_id);
  StreamedText& stream = it->second;
  if (!repeating || stream.unreliable) {
    remember_text(stream, delta);
    return false;
  }
  const std::string_view rest = std::string_view(stream.text).substr(stream.replayed);
  if (!rest.empty() && rest.starts_with(delta)) {
    stream.replayed += delta.size();
    return true;
  }
  if (delta.starts_with(rest)) {
    // The replay joined what was seen with what the broken connection lost: show the rest.
    const std::string unseen(delta.substr(rest.size()));
    stream.replayed = stream.text.size();
    remember_text(stream, unseen);
    stream.replayed = stream.text.size();
    if (!rest.empty()) msg["delta"] = unseen;
    return false;
  }
  // The replay tells another story than the one streamed: show all of it from here on.
  stream.unreliable = true;
  return false;
}

void ReplayFilter::remember_text(StreamedText& stream, std::string_view delta) {
  if (stream.unreliable) return;
  if (text_bytes_ + delta.size() > MAX_TEXT_BYTES) {
    stream.unreliable = true;
    return;
  }
  stream.text += delta;
  text_bytes_ += delta.size();
}

}  // namespace velmora
