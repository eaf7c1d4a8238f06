#include "velmora/headless_report.hpp"

#include <cmath>
#include <cstring>

#include "velmora/base/async.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/events/message_fields.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora {

namespace {

namespace json = boost::json;
using events::EventKind;
using events::find_field;

/// Answer text of a field as the plain output takes it: a string as sent, else its text.
std::string field_answer_text(const json::value* field) {
  if (field != nullptr && field->is_string()) return std::string(field->get_string());
  return events::scalar_text(field);
}

/// The summaries the session's failures are reported with, and the kind each stands for; a
/// classification's category (or another known kind) set beforehand takes precedence.
std::string kind_of_summary(std::string_view summary) {
  static constexpr std::pair<std::string_view, std::string_view> KINDS[] = {
      {"Authentication failed.", "auth"},
      {"Failed to reach the websocket endpoint.", "network"},
      {"CLI invocation failed.", "config"},
      {"Connection lost before the answer completed.", "connection_lost"},
      {"No final answer received.", "no_answer"},
      {"Upgrade failed.", "upgrade"},
  };
  for (const auto& [text, kind] : KINDS) {
    if (summary == text) return std::string(kind);
  }
  return "internal";
}

/// The endpoint without what may carry a secret: credentials, query and fragment.
std::string public_endpoint(std::string url) {
  url = url.substr(0, url.find_first_of("?#"));
  const auto scheme = url.find("://");
  const std::size_t host = scheme == std::string::npos ? 0 : scheme + 3;
  const auto path = url.find('/', host);
  const auto at = url.rfind('@', path == std::string::npos ? std::string::npos : path);
  if (at != std::string::npos && at >= host) url.erase(host, at + 1 - host);
  return url;
}

json::value optional_value(const std::optional<std::string>& text) {
  return text ? json::value(*text) : json::value(nullptr);
}

}  // namespace

HeadlessReport::HeadlessReport(OutputFormat format, HeadlessSessionInfo info, int fd)
    : format_(format),
      info_(std::move(info)),
      out_(fd),
      started_at_(velmora::base::monotonic_seconds()) {}

void HeadlessReport::write_line(const json::object& line) {
  // File names and option values may hold bytes that are not UTF-8: the project's writer
  // replaces them, so a line is always JSON.
  std::string text = velmora::base::json_dumps(line);
  text += '\n';
  write_text(text);
}

void HeadlessReport::write_text(std::string_view text) {
  if (output_failure_) return;
  out_.write(text);
  if (const auto error = out_.error()) {
    output_failure_ = std::strerror(*error);
    if (on_failure_) on_failure_();
  }
}

void HeadlessReport::write_result(const ResultLine& line) {
  // The answer is escaped and written in pieces between the line's two halves: a joined copy,
  // its JSON value and its dump would each cost a huge answer's size again.
  std::string text = velmora::base::json_dumps(line.head);
  text.pop_back();
  text += ", \"answer\": \"";
  events::for_each_answer_piece(answers_, [&](std::string_view piece) {
    velmora::base::append_json_escaped(text, piece);
    if (text.size() >= events::ChunkedText::CHUNK_BYTES) {
      write_text(text);
      text.clear();
    }
  });
  text += "\", ";
  text += std::string_view(velmora::base::json_dumps(line.tail)).substr(1);
  text += '\n';
  write_text(text);
}

void HeadlessReport::add_answer(const std::string& key, const std::string& text, bool whole) {
  events::add_answer_text(answers_, key, text, whole);
}

void HeadlessReport::event(const events::AgentEvent& event, bool historical) {
  if (historical) return;
  const json::object& msg = event.message;
  const auto id = events::optional_text(msg, "message_id");
  switch (event.kind) {
    case EventKind::answer:
      add_answer(id ? events::clean_line(*id) : "#" + std::to_string(++anonymous_answers_),
                 events::clean_text(field_answer_text(
                     find_field(msg, find_field(msg, "content") ? "content" : "text"))),
                 true);
      break;
    case EventKind::answer_delta: {
      std::string delta = events::clean_text(field_answer_text(find_field(msg, "delta")));
      if (delta.empty()) delta = events::clean_text(field_answer_text(find_field(msg, "content")));
      if (!delta.empty()) add_answer(id ? events::clean_line(*id) : std::string(), delta, false);
      break;
    }
    case EventKind::other:
      // The plain output shows the first text of an unknown message as an answer.
      for (const auto key : {"content", "text", "delta", "message", "answer", "output"}) {
        std::string text = events::clean_text(field_answer_text(find_field(msg, key)));
        if (events::trimmed(text).empty()) continue;
        add_answer("#" + std::to_string(++anonymous_answers_), text, true);
        break;
      }
      break;
    case EventKind::error:
      if (!agent_error_) {
        std::string text = events::first_field_text(msg, {"message", "error", "detail", "content"});
        agent_error_ = text.empty() ? "unknown error" : text;
      }
      break;
    case EventKind::turn_complete:
      if (const json::value* usage = find_field(msg, "usage")) usage_ = *usage;
      if (const json::value* duration = find_field(msg, "duration_ms");
          duration != nullptr && duration->is_number()) {
        server_duration_ms_ = *duration;
      }
      if (event.status == "interrupted") interrupted_ = true;
      break;
    default:
      break;
  }
  if (format_ != OutputFormat::stream_json) return;
  if (auto line = stream_event(event)) write_line(*line);
}

void HeadlessReport::when_bound(std::function<void()> callback) {
  if (thread_id_) {
    callback();
    return;
  }
  on_bound_ = std::move(callback);
}

void HeadlessReport::bound(const std::string& thread_id, std::optional<bool> is_new) {
  const bool first = !thread_id_;
  thread_id_ = thread_id;
  if (first) is_new_thread_ = is_new;
  write_init(thread_id, is_new);
  if (on_bound_) {
    const auto callback = std::move(on_bound_);
    on_bound_ = nullptr;
    callback();
  }
}

void HeadlessReport::write_init(const std::string& thread_id, std::optional<bool> is_new) {
  if (format_ != OutputFormat::stream_json || init_written_) return;
  init_written_ = true;
  write_line({{"type", "init"},
              {"thread_id", thread_id},
              {"is_new_thread", is_new ? json::value(*is_new) : json::value(nullptr)},
              {"user_id", optional_value(info_.user_id)},
              {"language", optional_value(info_.language)},
              {"scenario", optional_value(info_.scenario)},
              {"endpoint", info_.endpoint ? json::value(public_endpoint(*info_.endpoint))
                                          : json::value(nullptr)},
              {"version", info_.version}});
}

void HeadlessReport::question_answered(const std::optional<std::string>& message_id,
                                       const json::array& questions, const json::object& answers) {
  questions_.push_back(json::object{
      {"message_id", optional_value(message_id)}, {"questions", questions}, {"answers", answers}});
  if (format_ != OutputFormat::stream_json) return;
  write_line({{"type", "question_answered"},
              {"message_id", optional_value(message_id)},
              {"answers", answers}});
}

void HeadlessReport::notice(std::string_view text, std::string_view kind) {
  if (text.empty()) return;
  notices_.push_back(json::string(text));
  if (format_ != OutputFormat::stream_json) return;
  write_line({{"type", "notice"}, {"kind", kind}, {"text", text}});
}

void HeadlessReport::attachments(const std::vector<std::string>& paths,
                                 const json::array& records) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    const json::value* relative =
        records[i].is_object() ? records[i].as_object().if_contains("file_path") : nullptr;
    attachments_.push_back(
        json::object{{"path", i < paths.size() ? json::value(paths[i]) : json::value(nullptr)},
                     {"relative_path", relative != nullptr ? *relative : json::value(nullptr)}});
  }
}

void HeadlessReport::error(std::string_view summary, std::string_view hint,
                           const std::optional<std::string>& detail) {
  std::string kind = pending_kind_ ? *pending_kind_ : kind_of_summary(summary);
  pending_kind_.reset();
  if (error_) return;
  error_ = ErrorInfo{std::move(kind), std::string(summary), std::string(hint), detail};
}

HeadlessReport::ResultLine HeadlessReport::result(std::string_view status, int exit_code) const {
  ResultLine result;
  result.head = {
      {"type", "result"},
      {"status", status},
      {"exit_code", exit_code},
      {"thread_id", optional_value(thread_id_)},
      {"is_new_thread", is_new_thread_ ? json::value(*is_new_thread_) : json::value(nullptr)}};
  json::object& line = result.tail;
  if (usage_) line["usage"] = *usage_;
  if (server_duration_ms_) line["server_duration_ms"] = *server_duration_ms_;
  line["duration_ms"] = static_cast<std::int64_t>(
      std::llround((velmora::base::monotonic_seconds() - started_at_) * 1000.0));
  line["questions"] = questions_;
  line["attachments"] = attachments_;
  line["notices"] = notices_;
  if (status != "success") {
    ErrorInfo info;
    if (output_failure_) {
      info = {"output", "Failed to write the output.",
              "Check that standard output can be written (disk space, a reader on the pipe).",
              output_failure_};
    } else if (error_) {
      info = *error_;
    } else if (status == "interrupted") {
      info = {"interrupted", "The turn was interrupted.", "Send the query again to retry.",
              std::nullopt};
    } else if (status == "timeout") {
      info = {"timeout", "Timed out waiting for complete.",
              "Raise --timeout, or retry; --debug shows the raw events.", std::nullopt};
    } else if (agent_error_) {
      info = {"agent", "The agent reported an error.",
              "Retry the query; --debug shows the raw events.", agent_error_};
    } else {
      info = {"internal", "The run failed.", "Retry with --debug to inspect raw events.",
              std::nullopt};
    }
    line["error"] = json::object{{"kind", info.kind},
                                 {"summary", info.summary},
                                 {"hint", info.hint},
                                 {"detail", optional_value(info.detail)}};
  }
  line["version"] = info_.version;
  return result;
}

std::string_view HeadlessReport::verdict(int& exit_status) const {
  if (output_failure_) {
    exit_status = 1;
    return "error";
  }
  if (interrupted_) return "interrupted";
  if (timed_out_) return "timeout";
  if (exit_status != 0) return "error";
  if (agent_error_ && !events::has_answer(answers_)) {
    // The turn's only outcome was the agent's error: no answer was delivered.
    exit_status = 1;
    return "error";
  }
  return "success";
}

void HeadlessReport::reset_turn() {
  started_at_ = velmora::base::monotonic_seconds();
  answers_ = {};
  anonymous_answers_ = 0;
  usage_.reset();
  server_duration_ms_.reset();
  questions_ = {};
  attachments_ = {};
  error_.reset();
  pending_kind_.reset();
  agent_error_.reset();
  timed_out_ = false;
  interrupted_ = false;
}

void HeadlessReport::begin_turn() {
  reset_turn();
  turn_open_ = true;
}

int HeadlessReport::end_turn(int exit_status) {
  const std::string_view status = verdict(exit_status);
  write_result(result(status, exit_status));
  turn_open_ = false;
  // Notices between turns (a reconnect) belong to the next turn's result.
  notices_ = {};
  reset_turn();
  return output_failure_ ? 1 : exit_status;
}

void HeadlessReport::input_error(std::size_t line, std::string_view code,
                                 std::string_view message) {
  write_line({{"type", "error"},
              {"message", message},
              {"code", code},
              {"line", static_cast<std::uint64_t>(line)}});
}

int HeadlessReport::finish(int exit_status) {
  if (finished_) return final_status_;
  finished_ = true;
  if (persistent_) {
    // Every finished turn has its result already; the session's own status is kept (a turn
    // that failed does not fail the session).
    if (turn_open_) {
      int turn_status = exit_status;
      (void)end_turn(turn_status);
    } else if (exit_status != 0 || output_failure_) {
      int failed = exit_status;
      write_result(result(verdict(failed), failed));
    }
    final_status_ = output_failure_ ? 1 : exit_status;
    return final_status_;
  }
  const std::string_view status = verdict(exit_status);
  write_result(result(status, exit_status));
  if (output_failure_) exit_status = 1;
  final_status_ = exit_status;
  return exit_status;
}

}  // namespace velmora
