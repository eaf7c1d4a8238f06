#include "terminal_writer.hpp"

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>

#include "live_status.hpp"
#include "question_lines.hpp"
#include "style_sheet.hpp"
#include "velmora/events/message_fields.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {
namespace {

using boost::json::object;
using boost::json::value;
using events::AgentEvent;
using events::clean_line;
using events::find_field;
using events::first_field_text;

constexpr int MIN_WIDTH = 20;
constexpr int MAX_WIDTH = 1000;
/// Output waiting for its colours shows at most its last lines, like the growing block.
constexpr std::size_t MAX_WAITING_LINES = 12;
/// Bytes of one commentary message shown before it is cut.
constexpr std::size_t MAX_NOTE_BYTES = 64 * 1024;

// Cuts at most `size` bytes, never inside a UTF-8 sequence.
void cut_utf8(std::string& text, std::size_t size) {
  if (text.size() <= size) return;
  while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xc0) == 0x80) --size;
  text.resize(size);
}

std::string group_thousands(long long n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return n < 0 ? "-" + out : out;
}

std::optional<double> number_field(const object& msg, std::string_view key) {
  const value* field = find_field(msg, key);
  if (!field) return std::nullopt;
  if (field->is_int64()) return static_cast<double>(field->get_int64());
  if (field->is_uint64()) return static_cast<double>(field->get_uint64());
  if (field->is_double()) return field->get_double();
  return std::nullopt;
}

std::string format_duration_ms(double ms) {
  const double seconds = ms / 1000.0;
  if (seconds < 60) return fmt::format("{:.1f}s", seconds);
  return format_elapsed(seconds);
}

// "12,345 tokens (12,000 in · 345 out)" from a usage object; "" without a total.
std::string usage_text(const object& usage) {
  const auto count = [&](std::initializer_list<std::string_view> keys) -> std::optional<long long> {
    for (const auto key : keys) {
      const value* field = usage.if_contains(key);
      if (field && field->is_int64() && field->get_int64() >= 0) return field->get_int64();
      if (field && field->is_uint64())
        return static_cast<long long>(std::min<std::uint64_t>(field->get_uint64(), 1ull << 62));
    }
    return std::nullopt;
  };
  const auto in = count({"input_tokens", "prompt_tokens"});
  const auto out = count({"output_tokens", "completion_tokens"});
  auto total = count({"total_tokens"});
  if (!total && in && out) total = *in + *out;
  if (!total) return {};
  std::string text = group_thousands(*total) + " tokens";
  if (in && out) text += " (" + group_thousands(*in) + " in · " + group_thousands(*out) + " out)";
  return text;
}

std::string progress_text(const object& msg) {
  const value* field = find_field(msg, "progress");
  if (!field) return {};
  if (field->is_number()) {
    const double p = field->to_number<double>();
    if (p >= 0 && p <= 1) return fmt::format("{:.0f}%", p * 100);
    if (p > 1 && p <= 100) return fmt::format("{:.0f}%", p);
    return {};
  }
  return truncate_text(clean_line(events::scalar_text(field)), 40);
}

}  // namespace

TerminalWriter::TerminalWriter(const RendererOptions& options,
                               std::shared_ptr<term::Console> console, std::function<double()> now)
    : fixed_width_(options.width),
      language_dir_(options.language_dir),
      sticky_plan_(options.sticky_collection_plan_live),
      out_(std::move(console)),
      live_(LiveRegion::Setup{.console = &out_.console(),
                              .display = options.live_display,
                              .executor = options.executor,
                              .tick_seconds = options.live_tick_seconds,
                              .now = now,
                              .width = [this] { return width(); }}),
      answers_(
          out_, live_, [this] { return markdown_options(); }, now, options.live_tick_seconds),
      tools_(out_, live_, [this] { return width(); }),
      now_(std::move(now)) {
  // Anything else printed closes the growing block first, so the answer keeps its place.
  out_.set_before_output([this](bool answer) {
    if (!answer) answers_.release_open();
  });
  live_.set_preview_redraw([this] { answers_.draw_preview(true); });
  if (options.executor) {
    answers_.colour_in_background(
        std::make_unique<HighlightJobs>(*options.executor, options.highlight_wait_seconds));
    out_.set_on_waiting_change(
        [this] { live_.show_waiting(out_.waiting_lines(MAX_WAITING_LINES)); });
  }
  if (options.debug) {
    answers_.set_on_definition_failure([this](const std::string& failure) {
      out_.print_lines(
          wrap_runs(text_line(styles().dim, "debug: language definition " + clean_line(failure) +
                                                " (its code blocks print plain)"),
                    width()));
    });
  }
}

TerminalWriter::~TerminalWriter() {
  try {
    out_.release_held();
  } catch (const std::exception&) {
    // The terminal is gone (a closed pipe): what was waiting cannot be shown anywhere.
  }
}

int TerminalWriter::width() const {
  return std::clamp(fixed_width_ ? *fixed_width_ : out_.console().width(), MIN_WIDTH, MAX_WIDTH);
}

bool TerminalWriter::color() const {
  return out_.console().color_system() != term::ColorSystem::none;
}

MarkdownOptions TerminalWriter::markdown_options() const {
  const auto colors = out_.console().color_system();
  return MarkdownOptions{.width = width(),
                         .hyperlinks = color(),
                         .color = color(),
                         .many_colors = colors == term::ColorSystem::eight_bit ||
                                        colors == term::ColorSystem::truecolor,
                         .language_dir = language_dir_};
}

void TerminalWriter::activity(std::string_view label) { live_.note_activity(label); }

void TerminalWriter::answer_delta(const std::string& key, const std::string& delta,
                                  bool historical) {
  if (!historical && !is_blank(delta)) answer_shown_ = true;
  answers_.delta(key, delta, historical);
}

void TerminalWriter::answer(const std::string& key, const std::string& content, bool historical) {
  if (!historical && !is_blank(content)) answer_shown_ = true;
  answers_.whole(key, content);
}

void TerminalWriter::commentary(const std::string& content) {
  std::string text = content;
  cut_utf8(text, MAX_NOTE_BYTES);
  text = events::trimmed(expand_tabs(text));
  if (text.empty()) return;
  out_.print_lines(wrap_runs(text_line(styles().dim, text), width()));
}

void TerminalWriter::step(const AgentEvent& event, bool historical) {
  if (historical) return;
  const auto& msg = event.message;
  const std::string id = clean_line(events::field_text(msg, "step_id"));
  std::string title = clean_line(first_field_text(msg, {"title", "name", "description"}));
  if (!id.empty()) {
    if (!title.empty()) {
      if (step_titles_.size() >= MAX_TRACKED) step_titles_.clear();
      step_titles_[id] = title;
    } else if (auto it = step_titles_.find(id); it != step_titles_.end()) {
      title = it->second;
    }
  }
  if (event.phase == events::Phase::discovered) return;
  if (done_status(event.status)) {
    live_.note_activity(THINKING_LABEL);
    return;
  }
  std::string label = title.empty() ? std::string(THINKING_LABEL) : title;
  if (event.phase == events::Phase::progress) {
    const std::string progress = progress_text(msg);
    if (!progress.empty()) label += " · " + progress;
  }
  live_.note_activity(label);
}

void TerminalWriter::tool(const AgentEvent& event, bool historical) {
  tools_.tool(event, historical);
}

void TerminalWriter::nested(const AgentEvent& event, bool historical) {
  tools_.nested(event, historical);
}

void TerminalWriter::question(const AgentEvent&) {
  // The question panel takes the bottom of the screen: leave it clear.
  answers_.release_open();
  commit_plan();
  live_.suspend_status();
}

std::vector<Line> TerminalWriter::asked_lines(std::vector<std::string> questions,
                                              const AnswerPairs& answers) {
  return terminal_asked_lines(std::move(questions), answers, width());
}

void TerminalWriter::plan(const std::vector<PlanItem>& plan, const std::vector<PlanItem>& before,
                          bool new_plan) {
  plan_ = plan;
  if (sticky_plan_ && live_.capable()) {
    if (new_plan && live_.plan_shown()) {
      // A different plan replaces the shown one: the old one stays in the scrollback.
      live_.show_plan(std::nullopt);
      out_.print_lines(plan_lines(before, width()));
    }
    if (plan_finished(plan_)) {
      live_.show_plan(std::nullopt);
      out_.print_lines(plan_lines(plan_, width()));
    } else {
      live_.show_plan(plan_);
    }
    return;
  }
  if (new_plan) {
    out_.print_lines(plan_lines(plan_, width()));
    return;
  }
  std::vector<Line> changed;
  for (std::size_t i = 0; i < plan_.size(); ++i) {
    if (plan_[i].status != before[i].status) changed.push_back(plan_item_line(plan_[i], width()));
  }
  out_.print_lines(changed);
}

void TerminalWriter::commit_plan() {
  if (!live_.plan_shown()) return;
  live_.show_plan(std::nullopt);
  out_.print_lines(plan_lines(plan_, width()));
}

void TerminalWriter::turn_complete(const AgentEvent& event) {
  const auto& msg = event.message;
  const bool interrupted = interrupted_ || event.status == "interrupted";
  const bool failed = !interrupted && turn_had_error_;
  // Negative: no time to report (a plain double, as GCC's -O3 misreads an optional one here).
  double ms = number_field(msg, "duration_ms").value_or(-1);
  if (!(ms >= 0 && ms < 1e12)) ms = -1;
  if (ms < 0 && (interrupted || failed) && turn_started_ >= 0) {
    ms = (now_() - turn_started_) * 1000.0;
  }
  std::string usage;
  if (const value* field = find_field(msg, "usage"); field && field->is_object()) {
    usage = usage_text(field->get_object());
  }
  reset_turn_outcome();

  // A clean end says "done" only where there is something to report; an interrupt or an error
  // is always said.
  Line line;
  if (interrupted || failed) {
    append_run(line, interrupted ? styles().yellow : styles().red, interrupted ? "■ " : "✗ ");
    std::string text = interrupted ? "interrupted" : "ended with an error";
    if (ms >= 0) text += " after " + format_duration_ms(ms);
    if (!usage.empty()) text += " · " + usage;
    append_run(line, styles().dim, text);
  } else {
    std::vector<std::string> parts;
    if (ms >= 0) parts.push_back("done in " + format_duration_ms(ms));
    if (!usage.empty()) parts.push_back(std::move(usage));
    if (parts.empty()) return;
    std::string text = "✓ ";
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? " · " : "") + parts[i];
    append_run(line, styles().dim, text);
  }
  out_.print_line(line);
}

void TerminalWriter::interrupt_sent() {
  interrupted_ = true;
  // The text shown so far goes to the scrollback now, so the notice that follows sits below it.
  answers_.release_open();
  commit_plan();
  if (answer_shown_ && !cut_marked_) {
    cut_marked_ = true;
    // Right under the cut text, without the gap that follows an answer block.
    out_.last = Scrollback::Last::line;
    out_.print_line(text_line(styles().dim, "(interrupted)"));
  }
}

void TerminalWriter::reset_turn_outcome() {
  turn_started_ = -1;
  answer_shown_ = false;
  turn_had_error_ = false;
  interrupted_ = false;
  cut_marked_ = false;
}

void TerminalWriter::connection_lost(const AgentEvent& event) {
  const std::string detail = clean_line(events::field_text(event.message, "error_message"));
  Line line = text_line(styles().yellow, "Connection lost");
  if (!detail.empty()) append_run(line, styles().dim, ": " + detail);
  out_.print_lines(wrap_runs(line, width()));
}

void TerminalWriter::topic(const AgentEvent& event) {
  const std::string topic =
      clean_line(first_field_text(event.message, {"message", "topic", "title", "name"}));
  if (topic.empty()) return;
  out_.print_line(truncate_line(text_line(styles().dim, "topic: " + topic), width()));
}

void TerminalWriter::replay_boundary() { answers_.release_open(); }

std::vector<Line> TerminalWriter::thinking_body(const ThinkingBlock& block) {
  return render_markdown(block.text, markdown_options());
}

void TerminalWriter::end_turn() {
  answers_.release_open();
  commit_plan();
  live_.end_turn();
}

boost::asio::awaitable<void> TerminalWriter::settle() { co_await answers_.colouring_done(); }

void TerminalWriter::start_turn() {
  answers_.release_open();
  commit_plan();
  answers_.clear();
  tools_.clear();
  tools_.forget_last_call();
  step_titles_.clear();
  out_.last = Scrollback::Last::none;
  live_.start_turn();
  reset_turn_outcome();
  turn_started_ = now_();
}

void TerminalWriter::begin_replay() {
  end_turn();
  reset_turn_outcome();
  answers_.clear();
  tools_.clear();
  out_.last = Scrollback::Last::none;
}

void TerminalWriter::flush_deferred() { end_turn(); }

void TerminalWriter::set_live_status_enabled(bool enabled) { live_.set_enabled(enabled); }

void TerminalWriter::suspend_status() { live_.suspend_status(); }

}  // namespace velmora::renderer
