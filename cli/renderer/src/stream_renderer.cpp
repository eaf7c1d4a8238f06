#include "velmora/renderer/stream_renderer.hpp"

#include <cstdlib>

#include "answer_writer.hpp"
#include "collection_plan.hpp"
#include "live_status.hpp"
#include "markdown.hpp"
#include "panels.hpp"
#include "plain_writer.hpp"
#include "question_lines.hpp"
#include "style_sheet.hpp"
#include "terminal_writer.hpp"
#include "thinking_cache.hpp"
#include "tool_lines.hpp"
#include "velmora/base/async.hpp"
#include "velmora/events/message_fields.hpp"
#include "velmora/events/question.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {
namespace {

using boost::json::object;
using events::clean_text;
using events::EventKind;
using events::find_field;
using events::first_field_text;
using events::optional_text;

constexpr std::size_t MAX_RAW_BYTES = 4096;

/// Answer text of a message field: a string as sent (no size cap), other shapes by their text.
std::string answer_text(const boost::json::value* field) {
  if (field && field->is_string()) return std::string(field->get_string());
  return content_text(field);
}

}  // namespace

// Reads the events and keeps what every output shares; the writer chosen at construction
// decides how it looks.
struct StreamRenderer::Impl {
  RendererOptions options;
  std::shared_ptr<term::Console> console;
  std::string home;
  std::unique_ptr<Writer> writer;

  std::size_t anonymous_messages = 0;
  std::vector<PlanItem> plan;
  ThinkingCache thinking;
  bool last_was_anonymous_thinking = false;
  RecordedQuestions replayed_questions;

  explicit Impl(RendererOptions opts) : options(std::move(opts)) {
    console = options.console;
    if (!console) {
      console = std::make_shared<term::Console>(term::ConsoleOptions{.no_color = true});
    }
    if (const char* value = std::getenv("HOME")) home = value;
    if (options.plain_output || options.render_profile == RENDER_PROFILE_IM) {
      writer = std::make_unique<PlainWriter>(options, console);
    } else {
      writer = std::make_unique<TerminalWriter>(options, console, [this] { return now(); });
    }
  }

  double now() const {
    return options.monotonic_clock ? options.monotonic_clock() : velmora::base::monotonic_seconds();
  }

  std::chrono::system_clock::time_point wall_now() const {
    return options.wall_clock ? options.wall_clock() : std::chrono::system_clock::now();
  }

  Scrollback& out() const { return writer->out(); }
  int width() const { return writer->width(); }

  std::string next_anonymous_key() { return "#" + std::to_string(++anonymous_messages); }

  void render_answer(const object& msg, bool historical) {
    const std::optional<std::string> id = optional_text(msg, "message_id");
    const std::string content =
        clean_text(answer_text(find_field(msg, find_field(msg, "content") ? "content" : "text")));
    if (!historical) writer->activity("Writing…");
    writer->answer(id ? events::clean_line(*id) : next_anonymous_key(), content, historical);
  }

  void render_delta(const object& msg, bool historical) {
    const std::optional<std::string> id = optional_text(msg, "message_id");
    std::string delta = clean_text(answer_text(find_field(msg, "delta")));
    if (delta.empty()) delta = clean_text(answer_text(find_field(msg, "content")));
    if (!historical && !delta.empty()) writer->activity("Writing…");
    writer->answer_delta(id ? events::clean_line(*id) : std::string(), delta, historical);
  }

  void render_thinking(const object& msg, bool historical, bool follows_anonymous) {
    const std::optional<std::string> id = optional_text(msg, "thinking_id");
    const std::string text = clean_text(answer_text(find_field(msg, "content")));
    thinking.add(id ? std::optional<std::string>(events::clean_line(*id)) : std::nullopt, text,
                 wall_now(), follows_anonymous);
    if (!historical) writer->activity(THINKING_LABEL);
    last_was_anonymous_thinking = !id;
  }

  void render_question(const events::AgentEvent& event, bool historical) {
    const std::string& status = event.status;
    if (historical) {
      replayed_questions.record(event.message, status);
      return;
    }
    if (status.empty() || status == "called") {
      writer->question(event);
      return;
    }
    if (status == "answered") {
      out().print_lines(writer->asked_lines(question_texts(events::question_maps(event.message)),
                                            answers_of(event.message)));
      return;
    }
    if (failed_status(status)) {
      std::string text =
          events::clean_line(first_field_text(event.message, {"content", "message", "error"}));
      out().print_line(
          text_line(styles().red, "Question failed" + (text.empty() ? "" : ": " + text)));
    }
  }

  void render_plan(const object& msg) {
    std::vector<PlanItem> items = parse_plan_items(msg);
    if (items.empty()) return;
    const bool new_plan = !same_plan(items, plan);
    if (!new_plan && items == plan) return;
    const std::vector<PlanItem> before = std::exchange(plan, items);
    writer->plan(plan, before, new_plan);
  }

  void render_error(const object& msg) {
    std::string text =
        events::clean_line(first_field_text(msg, {"message", "error", "detail", "content"}));
    if (text.empty()) text = "unknown error";
    const std::string code = events::clean_line(events::field_text(msg, "code"));
    Line line = text_line(styles().bold_red, "Error: ");
    append_run(line, styles().red, text);
    if (!code.empty()) append_run(line, styles().dim, " (" + code + ")");
    out().print_lines(wrap_runs(line, width()));
    writer->turn_error();
  }

  void render_raw(const object& msg) {
    if (!options.debug) return;
    std::string raw = events::clean_line(first_field_text(msg, {"raw", "content", "text"}));
    if (raw.size() > MAX_RAW_BYTES) raw = truncate_text(raw, static_cast<int>(MAX_RAW_BYTES));
    out().print_lines(wrap_runs(text_line(styles().dim, "raw frame: " + raw), width()));
  }

  // A message of a kind not known here shows its first text, as an answer.
  void render_other(const object& msg, bool historical) {
    for (const auto key : {"content", "text", "delta", "message", "answer", "output"}) {
      std::string text = clean_text(answer_text(find_field(msg, key)));
      if (is_blank(text)) continue;
      writer->answer(next_anonymous_key(), text, historical);
      return;
    }
  }

  void render(const events::AgentEvent& event, bool historical) {
    const bool follows_anonymous = last_was_anonymous_thinking;
    last_was_anonymous_thinking = false;
    if (historical && options.one_shot) return;
    const object& msg = event.message;
    switch (event.kind) {
      case EventKind::binding:
      case EventKind::config:
      case EventKind::heartbeat:
        return;
      case EventKind::answer:
        return render_answer(msg, historical);
      case EventKind::answer_delta:
        return render_delta(msg, historical);
      case EventKind::thinking:
        return render_thinking(msg, historical, follows_anonymous);
      case EventKind::commentary:
        return writer->commentary(clean_text(answer_text(find_field(msg, "content"))));
      case EventKind::step:
        return writer->step(event, historical);
      case EventKind::tool:
        return writer->tool(event, historical);
      case EventKind::nested:
        return writer->nested(event, historical);
      case EventKind::question:
        return render_question(event, historical);
      case EventKind::plan:
        return render_plan(msg);
      case EventKind::error:
        return render_error(msg);
      case EventKind::turn_complete:
        writer->end_turn();
        return writer->turn_complete(event);
      case EventKind::terminated:
        return writer->end_turn();
      case EventKind::connection_lost:
        writer->end_turn();
        return writer->connection_lost(event);
      case EventKind::replay_boundary:
        return writer->replay_boundary();
      case EventKind::raw:
        return render_raw(msg);
      case EventKind::topic:
        return writer->topic(event);
      case EventKind::other:
        return render_other(msg, historical);
    }
  }
};

StreamRenderer::StreamRenderer(RendererOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

StreamRenderer::~StreamRenderer() = default;

void StreamRenderer::render(const events::AgentEvent& event, bool historical) {
  impl_->render(event, historical);
}

void StreamRenderer::flush_pending_historical_asks() {
  std::vector<Line> lines;
  for (const auto& entry : impl_->replayed_questions.take()) {
    for (auto& line : impl_->writer->asked_lines(entry.questions, entry.answers)) {
      lines.push_back(std::move(line));
    }
  }
  impl_->out().print_lines(lines);
}

void StreamRenderer::begin_historical_replay() { impl_->writer->begin_replay(); }

void StreamRenderer::set_live_status_enabled(bool enabled) {
  impl_->writer->set_live_status_enabled(enabled);
}

void StreamRenderer::stop_thinking_status() { impl_->writer->suspend_status(); }

void StreamRenderer::reset_turn_state() { impl_->writer->start_turn(); }

void StreamRenderer::note_interrupt_sent() { impl_->writer->interrupt_sent(); }

void StreamRenderer::flush_deferred_output() { impl_->writer->flush_deferred(); }

bool StreamRenderer::output_pending() const { return impl_->out().holding(); }

boost::asio::awaitable<void> StreamRenderer::settle_output() { return impl_->writer->settle(); }

void StreamRenderer::after_output(std::function<void()> write) {
  impl_->out().after_output(std::move(write));
}

void StreamRenderer::render_session_notice(std::string_view text, bool warning) {
  impl_->out().print_lines(notice_lines(text, warning, impl_->width()));
}

void StreamRenderer::render_invocation_error(std::string_view summary, std::string_view hint,
                                             const std::optional<std::string>& detail, bool debug) {
  if (impl_->options.on_invocation_error) impl_->options.on_invocation_error(summary, hint, detail);
  impl_->writer->end_turn();
  impl_->out().print_lines(invocation_error_lines(summary, hint, detail, debug, impl_->width()));
}

void StreamRenderer::render_help() {
  impl_->out().print_lines(help_lines(impl_->options.help_entries, impl_->width()));
}

void StreamRenderer::render_thinking_history(const std::optional<std::string>& thinking_id) {
  Impl& impl = *impl_;
  if (!thinking_id) {
    impl.out().print_lines(thinking_list_lines(impl.thinking, impl.width()));
    return;
  }
  const std::string key = events::trimmed(*thinking_id);
  const ThinkingBlock* block = impl.thinking.find(key);
  if (!block) {
    impl.out().print_lines(thinking_missing_lines(key, impl.width()));
    return;
  }
  Line head = text_line(styles().bold, "Thinking " + events::clean_line(block->id));
  append_run(head, styles().dim, " · " + clock_time(block->at));
  std::vector<Line> lines{head};
  for (auto& line : impl.writer->thinking_body(*block)) lines.push_back(std::move(line));
  impl.out().print_lines(lines);
}

void StreamRenderer::render_banner(const BannerInfo& info) {
  Impl& impl = *impl_;
  const BannerContext context{impl.options.version, impl.options.workspace_cwd,
                              impl.options.workspace_branch, impl.home};
  impl.out().print_lines(banner_lines(info, context, impl.width(), impl.writer->styled()));
}

const std::shared_ptr<term::Console>& StreamRenderer::console() const noexcept {
  return impl_->console;
}

bool StreamRenderer::plain_output() const noexcept { return impl_->options.plain_output; }

}  // namespace velmora::renderer
