#include "velmora/renderer/stream_renderer.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include <fmt/format.h>

#include "answer_stream.hpp"
#include "collection_plan.hpp"
#include "live_status.hpp"
#include "live_ticker.hpp"
#include "markdown.hpp"
#include "message_fields.hpp"
#include "panels.hpp"
#include "text_clean.hpp"
#include "thinking_cache.hpp"
#include "tool_lines.hpp"
#include "velmora/base/async.hpp"
#include "velmora/base/strings.hpp"

namespace velmora::renderer {
namespace {

using boost::json::object;
using boost::json::value;
using term::Style;

/// Plain output is never wrapped: pipes and chat platforms lay text out themselves.
constexpr int UNWRAPPED_WIDTH = 100000;
constexpr int MIN_WIDTH = 20;
constexpr int MAX_WIDTH = 1000;
/// The growing block shows at most its last lines, so the live region stays on screen.
constexpr std::size_t MAX_PREVIEW_LINES = 12;
constexpr std::size_t MAX_LIVE_PLAN_ITEMS = 10;
/// Per-turn bookkeeping (streams, tool calls, steps) is dropped beyond this many entries.
constexpr std::size_t MAX_TRACKED = 1024;
constexpr std::size_t MAX_RAW_BYTES = 4096;
/// Lines of plain text shown for one commentary or fallback message before it is cut.
constexpr std::size_t MAX_NOTE_BYTES = 64 * 1024;

Style style_of(std::string_view words) { return Style::parse(words).value_or(Style{}); }

struct Styles {
  Style bold = style_of("bold");
  Style dim = style_of("dim");
  Style red = style_of("red");
  Style bold_red = style_of("bold red");
  Style green = style_of("green");
  Style yellow = style_of("yellow");
  Style cyan = style_of("cyan");
};

const Styles& styles() {
  static const Styles instance;
  return instance;
}

Line text_line(const Style& style, std::string_view text) {
  Line line;
  append_run(line, style, text);
  return line;
}

bool is_blank(std::string_view text) {
  return text.find_first_not_of(" \t\n") == std::string_view::npos;
}

/// Answer text of a message field: a string as sent (no size cap), other shapes by their text.
std::string answer_text(const value* field) {
  if (field && field->is_string()) return std::string(field->get_string());
  return content_text(field);
}

std::string status_of(const object& msg) {
  return base::ascii_lower(base::trim(field_text(msg, "status")));
}

bool failed_status(std::string_view status) {
  return status == "failed" || status == "error" || status == "failure";
}

bool done_status(std::string_view status) {
  return failed_status(status) || status == "completed" || status == "complete" ||
         status == "success" || status == "succeeded" || status == "done" || status == "answered";
}

std::string_view nested_kind(std::string_view type) {
  if (type == "mcp_message") return "MCP";
  if (type == "skill_message") return "Skill";
  return "Agent";
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

struct ToolCall {
  std::string name;
  std::string arguments;
  bool call_printed = false;
  bool result_printed = false;
};

struct RecordedAsk {
  std::optional<std::string> message_id;
  std::vector<std::string> questions;
  /// (question, answer); an empty question stands for "the answer".
  std::vector<std::pair<std::string, std::string>> answers;
};

std::vector<std::string> question_texts(const boost::json::array& questions) {
  std::vector<std::string> texts;
  for (const auto& question : questions) {
    if (!question.is_object()) continue;
    texts.push_back(clean_line(field_text(question.get_object(), "question")));
  }
  return texts;
}

std::vector<std::pair<std::string, std::string>> answers_of(const object& msg) {
  std::vector<std::pair<std::string, std::string>> answers;
  const value* field = find_field(msg, "answers");
  if (field && field->is_object()) {
    for (const auto& entry : field->get_object()) {
      answers.emplace_back(clean_line(entry.key()), clean_line(content_text(&entry.value())));
    }
  } else if (field && field->is_array()) {
    for (const auto& element : field->get_array()) {
      if (!element.is_object()) continue;
      const auto& item = element.get_object();
      answers.emplace_back(clean_line(field_text(item, "question")),
                           clean_line(first_field_text(item, {"answer", "value", "label"})));
    }
  } else if (std::string answer = first_field_text(msg, {"answer"}); !answer.empty()) {
    answers.emplace_back(std::string(), clean_line(answer));
  }
  return answers;
}

// Copies a JSON value with every string cleaned, dropping what nests deeper than a question
// map can sensibly be.
value cleaned_value(const value& input, int depth) {
  switch (input.kind()) {
    case boost::json::kind::string:
      return value(clean_text(input.get_string()));
    case boost::json::kind::array: {
      boost::json::array out;
      if (depth < 8) {
        for (const auto& element : input.get_array())
          out.push_back(cleaned_value(element, depth + 1));
      }
      return out;
    }
    case boost::json::kind::object: {
      object out;
      if (depth < 8) {
        for (const auto& entry : input.get_object()) {
          out[clean_text(entry.key())] = cleaned_value(entry.value(), depth + 1);
        }
      }
      return out;
    }
    default:
      return input;
  }
}

boost::json::array ask_questions(const object& msg) {
  boost::json::array questions;
  const value* field = find_field(msg, "questions");
  if (field && field->is_array()) {
    for (const auto& element : field->get_array()) {
      if (element.is_object()) {
        questions.push_back(cleaned_value(element, 0));
      } else if (element.is_string()) {
        questions.push_back(object{{"question", clean_text(element.get_string())}});
      }
    }
  } else if (std::string question = field_text(msg, "question"); !question.empty()) {
    questions.push_back(object{{"question", clean_text(question)}});
  }
  return questions;
}

}  // namespace

struct StreamRenderer::Impl {
  RendererOptions options;
  std::shared_ptr<term::Console> console;
  /// Plain consumers: no escape codes, no live lines, Markdown passed through as text.
  bool im = false;
  std::string home;
  std::unique_ptr<LiveTicker> ticker;

  // Live region: growing answer block, sticky plan, status line.
  bool live_enabled = true;
  bool turn_active = false;
  /// The status line is hidden until the next sign of activity (interrupt, question, replay).
  bool status_suspended = false;
  double turn_started = 0;
  std::string status_label;
  std::vector<Line> preview;
  bool preview_dirty = false;
  double preview_drawn_at = -1e9;
  std::vector<std::string> live_sent;

  // Answers.
  std::map<std::string, AnswerStream> streams;
  /// The stream whose pending text is the growing block; at most one at a time.
  std::optional<std::string> open_stream;
  std::size_t anonymous_messages = 0;
  /// One-shot plain output: answer text per message, written once by flush_deferred_output.
  std::vector<std::pair<std::string, std::string>> deferred;
  /// Plain output: the message whose text was written last, and whether its line is open.
  std::optional<std::string> im_open_message;
  bool im_line_open = false;

  // Spacing: answer blocks are set off by a blank line from whatever comes before and after.
  enum class Last { none, block, line } last = Last::none;

  std::unordered_map<std::string, ToolCall> tools;
  /// The call whose "●" line was the last line printed, so its result can go right under it.
  std::optional<std::string> last_call_line;
  std::unordered_map<std::string, std::string> step_titles;

  std::vector<PlanItem> plan;
  bool plan_live = false;

  ThinkingCache thinking;
  bool last_was_anonymous_thinking = false;

  std::vector<RecordedAsk> historical_asks;

  explicit Impl(RendererOptions opts) : options(std::move(opts)) {
    console = options.console;
    if (!console) {
      console = std::make_shared<term::Console>(term::ConsoleOptions{.no_color = true});
    }
    im = options.plain_output || options.render_profile == RENDER_PROFILE_IM;
    if (const char* value = std::getenv("HOME")) home = value;
    if (options.executor && live_capable()) {
      ticker = std::make_unique<LiveTicker>(*options.executor, options.live_tick_seconds,
                                            [this] { tick(); });
    }
  }

  ~Impl() {
    if (ticker) ticker->stop();
  }

  // ---- clocks and geometry

  double now() const {
    return options.monotonic_clock ? options.monotonic_clock() : velmora::base::monotonic_seconds();
  }

  std::chrono::system_clock::time_point wall_now() const {
    return options.wall_clock ? options.wall_clock() : std::chrono::system_clock::now();
  }

  int width() const {
    if (im) return UNWRAPPED_WIDTH;
    return std::clamp(options.width ? *options.width : console->width(), MIN_WIDTH, MAX_WIDTH);
  }

  bool color() const { return console->color_system() != term::ColorSystem::none; }

  bool live_capable() const { return !im && options.live_display && color(); }

  MarkdownOptions markdown_options() const {
    return MarkdownOptions{.width = width(), .hyperlinks = color(), .color = color()};
  }

  // ---- live region

  bool status_shown() const { return turn_active && live_enabled && !status_suspended; }

  void refresh_live() {
    if (!live_capable()) return;
    const int columns = std::max(width() - 1, 1);
    std::vector<std::string> lines;
    for (const auto& line : preview) {
      lines.push_back(term::render_segments(truncate_line(line, columns), console->color_system()));
    }
    if (plan_live) {
      for (const auto& line : plan_lines(plan, columns, MAX_LIVE_PLAN_ITEMS)) {
        lines.push_back(term::render_segments(line, console->color_system()));
      }
    }
    if (status_shown()) {
      lines.push_back(term::render_segments(
          status_line(status_label, now() - turn_started, columns), console->color_system()));
    }
    if (lines != live_sent) {
      live_sent = lines;
      options.live_display->update(lines);
    }
    if (ticker) {
      if (status_shown() || preview_dirty) {
        ticker->start();
      } else {
        ticker->stop();
      }
    }
  }

  void tick() {
    if (preview_dirty) {
      draw_preview(true);
    } else {
      refresh_live();
    }
  }

  void draw_preview(bool force) {
    if (!live_capable() || !open_stream) {
      preview_dirty = false;
      if (!preview.empty()) {
        preview.clear();
        refresh_live();
      }
      return;
    }
    const double t = now();
    if (!force && t - preview_drawn_at < options.live_tick_seconds) {
      preview_dirty = true;
      refresh_live();
      return;
    }
    preview_dirty = false;
    preview_drawn_at = t;
    preview.clear();
    const AnswerStream& stream = streams.at(*open_stream);
    if (!is_blank(stream.pending())) {
      std::vector<Line> lines =
          render_markdown(with_definitions(stream, stream.pending()), markdown_options());
      if (lines.size() > MAX_PREVIEW_LINES) {
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(MAX_PREVIEW_LINES));
      } else if (last != Last::none) {
        preview.emplace_back();  // the gap the block will get when printed
      }
      preview.insert(preview.end(), lines.begin(), lines.end());
    }
    refresh_live();
  }

  void suspend_status() {
    status_suspended = true;
    refresh_live();
  }

  void note_activity(std::string_view label) {
    if (!turn_active) {
      turn_active = true;
      turn_started = now();
    }
    status_suspended = false;
    if (!label.empty()) status_label = std::string(label);
    refresh_live();
  }

  // ---- scrollback output

  void im_close_line() {
    if (im_line_open) {
      console->write_raw("\n");
      im_line_open = false;
    }
    im_open_message.reset();
  }

  void before_output(bool answer) {
    if (im) {
      im_close_line();
      return;
    }
    if (!answer) release_open_stream();
  }

  void print_block(const std::vector<Line>& lines) {
    if (lines.empty()) return;
    before_output(true);
    std::vector<Line> out;
    if (last != Last::none) out.emplace_back();
    out.insert(out.end(), lines.begin(), lines.end());
    console->print_segments(join_lines(out));
    last = Last::block;
    last_call_line.reset();
  }

  void print_lines(const std::vector<Line>& lines) {
    if (lines.empty()) return;
    before_output(false);
    std::vector<Line> out;
    if (last == Last::block) out.emplace_back();
    out.insert(out.end(), lines.begin(), lines.end());
    console->print_segments(join_lines(out));
    last = Last::line;
    last_call_line.reset();
  }

  void print_line(const Line& line) { print_lines({line}); }

  // ---- answers

  static std::string with_definitions(const AnswerStream& stream, std::string_view text) {
    if (stream.definitions().empty()) return std::string(text);
    return stream.definitions() + "\n" + std::string(text);
  }

  void print_markdown(const AnswerStream& stream, std::string_view text) {
    if (is_blank(text)) return;
    print_block(render_markdown(with_definitions(stream, text), markdown_options()));
  }

  void release_open_stream() {
    if (!open_stream) return;
    const std::string key = *open_stream;
    open_stream.reset();
    AnswerStream& stream = streams.at(key);
    const std::string text = stream.take_pending();
    preview.clear();
    preview_dirty = false;
    refresh_live();
    print_markdown(stream, text);
  }

  AnswerStream& stream_for(const std::string& key) {
    if (streams.size() >= MAX_TRACKED && !streams.contains(key)) {
      release_open_stream();
      streams.clear();
    }
    return streams.try_emplace(key, !im).first->second;
  }

  void answer_delta(const std::string& key, const std::string& delta, bool historical) {
    if (delta.empty()) return;
    if (im) {
      if (options.one_shot && !historical) {
        defer(key, delta, false);
        return;
      }
      im_write(key, stream_for(key).append(delta));
      return;
    }
    if (open_stream && *open_stream != key) release_open_stream();
    AnswerStream& stream = stream_for(key);
    open_stream = key;
    const std::string released = stream.append(delta);
    if (!released.empty()) {
      preview.clear();
      refresh_live();
      print_markdown(stream, released);
    }
    // A replay arrives all at once: its blocks go straight to the scrollback, nothing live.
    if (!historical) draw_preview(false);
  }

  void answer_full(const std::string& key, const std::string& content, bool historical) {
    if (im) {
      if (options.one_shot && !historical) {
        defer(key, content, true);
        return;
      }
      im_write(key, stream_for(key).settle(content));
      im_close_line();
      return;
    }
    if (open_stream && *open_stream != key) release_open_stream();
    AnswerStream& stream = stream_for(key);
    if (open_stream == key) {
      open_stream.reset();
      preview.clear();
      preview_dirty = false;
      refresh_live();
    }
    print_markdown(stream, stream.settle(content));
  }

  void defer(const std::string& key, const std::string& text, bool whole) {
    for (auto it = deferred.rbegin(); it != deferred.rend(); ++it) {
      if (it->first != key) continue;
      if (whole) {
        it->second = text;
      } else {
        it->second += text;
      }
      return;
    }
    deferred.emplace_back(key, text);
  }

  void im_write(const std::string& key, const std::string& text) {
    if (text.empty()) return;
    if (im_open_message != key) {
      im_close_line();
      if (last != Last::none) console->write_raw("\n");
      im_open_message = key;
    }
    console->write_raw(text);
    im_line_open = text.back() != '\n';
    last = Last::block;
  }

  // ---- turn lifecycle

  void commit_plan() {
    if (!plan_live) return;
    plan_live = false;
    refresh_live();
    print_lines(plan_lines(plan, width()));
  }

  void end_turn() {
    if (im) im_close_line();
    release_open_stream();
    commit_plan();
    turn_active = false;
    status_label.clear();
    refresh_live();
  }

  // ---- message kinds

  void render_thinking(const object& msg, bool historical) {
    const std::optional<std::string> id = optional_text(msg, "thinking_id");
    const std::string text = clean_text(answer_text(find_field(msg, "content")));
    thinking.add(id ? std::optional<std::string>(clean_line(*id)) : std::nullopt, text, wall_now(),
                 last_was_anonymous_thinking);
    if (!historical && !im) note_activity(THINKING_LABEL);
  }

  void render_commentary(const object& msg) {
    if (im) return;
    std::string text = clean_text(answer_text(find_field(msg, "content")));
    if (text.size() > MAX_NOTE_BYTES) text.resize(MAX_NOTE_BYTES);
    text = std::string(base::trim(expand_tabs(text)));
    if (text.empty()) return;
    print_lines(wrap_runs(text_line(styles().dim, text), width()));
  }

  void render_step(const object& msg, std::string_view type, bool historical) {
    if (im || historical) return;
    const std::string id = clean_line(field_text(msg, "step_id"));
    std::string title = clean_line(first_field_text(msg, {"title", "name", "description"}));
    if (!id.empty()) {
      if (!title.empty()) {
        if (step_titles.size() >= MAX_TRACKED) step_titles.clear();
        step_titles[id] = title;
      } else if (auto it = step_titles.find(id); it != step_titles.end()) {
        title = it->second;
      }
    }
    if (type == "step_discovered") return;
    const std::string status = status_of(msg);
    if (done_status(status)) {
      note_activity(THINKING_LABEL);
      return;
    }
    std::string label = title.empty() ? std::string(THINKING_LABEL) : title;
    if (type == "step_progress") {
      const std::string progress = progress_text(msg);
      if (!progress.empty()) label += " · " + progress;
    }
    note_activity(label);
  }

  static std::string progress_text(const object& msg) {
    const value* field = find_field(msg, "progress");
    if (!field) return {};
    if (field->is_number()) {
      const double p = field->to_number<double>();
      if (p >= 0 && p <= 1) return fmt::format("{:.0f}%", p * 100);
      if (p > 1 && p <= 100) return fmt::format("{:.0f}%", p);
      return {};
    }
    return truncate_text(clean_line(scalar_text(field)), 40);
  }

  Line call_line(const ToolCall& call) {
    Line line = text_line(styles().bold, "● ");
    append_run(line, styles().bold, call.name);
    if (!call.arguments.empty()) append_run(line, Style{}, "(" + call.arguments + ")");
    return truncate_line(line, width());
  }

  void show_call(const std::string& key, ToolCall& call) {
    print_line(call_line(call));
    call.call_printed = true;
    last_call_line = key;
  }

  void show_result(const std::string& key, ToolCall& call, const OutputSummary& summary,
                   bool failed) {
    if (call.result_printed) return;
    if (last_call_line != key) show_call(key, call);
    Line line = text_line(Style{}, "  ");
    append_run(line, failed ? styles().red : styles().green, "⎿ ");
    std::string text = summary.first_line;
    if (text.empty()) text = failed ? "failed" : "done";
    Line rest = text_line(failed ? styles().red : styles().dim, text);
    if (summary.more_lines > 0) {
      append_run(
          rest, styles().dim,
          fmt::format(" … (+{} line{})", summary.more_lines, summary.more_lines == 1 ? "" : "s"));
    }
    append_line(line, rest);
    print_line(truncate_line(line, width()));
    call.result_printed = true;
  }

  ToolCall& tool_for(const std::string& key) {
    if (tools.size() >= MAX_TRACKED && !tools.contains(key)) tools.clear();
    return tools[key];
  }

  void render_tool(const object& msg, std::string_view type, bool historical) {
    if (im) return;  // tool traffic is not for plain consumers
    const std::string name = clean_line(first_field_text(msg, {"tool_name", "name"}));
    std::string key = clean_line(first_field_text(msg, {"tool_use_id", "id"}));
    if (key.empty()) key = "tool:" + name;
    ToolCall& call = tool_for(key);
    if (!name.empty()) call.name = name;
    if (call.name.empty()) call.name = "tool";
    const value* input = find_field(msg, "input");
    if (!input) input = find_field(msg, "arguments");
    if (std::string arguments = summarize_arguments(input); !arguments.empty()) {
      call.arguments = std::move(arguments);
    }
    const std::string status = status_of(msg);
    const bool failed = truthy(find_field(msg, "is_error")) || failed_status(status);
    const value* output = find_field(msg, "output");
    if (!output) output = find_field(msg, "result");

    if (type == "tool_progress" && !done_status(status)) {
      if (!call.call_printed) show_call(key, call);
      if (!historical) {
        std::string label = call.name;
        const std::string progress =
            clean_line(first_field_text(msg, {"progress", "message", "content", "output"}));
        label += progress.empty() ? "…" : ": " + truncate_text(progress, 60);
        note_activity(label);
      }
      return;
    }
    const bool done = type == "tool_completed" || done_status(status) || failed ||
                      (output != nullptr && type == "tool_execution" && status.empty());
    if (!done) {
      if (!call.call_printed) show_call(key, call);
      if (!historical) note_activity("Running " + call.name + "…");
      return;
    }
    show_result(key, call, summarize_output(output), failed);
    if (!historical) note_activity(THINKING_LABEL);
  }

  void render_nested(const object& msg, std::string_view type, bool historical) {
    const std::string kind(nested_kind(type));
    const std::string name =
        clean_line(first_field_text(msg, {"name", "tool_name", "server", "skill", "agent"}));
    const std::string status = status_of(msg);
    const value* content = find_field(msg, "content");
    if (im) {
      if (!failed_status(status)) return;
      const OutputSummary summary = summarize_output(content);
      std::string text = kind + (name.empty() ? "" : " " + name) + " failed";
      if (!summary.first_line.empty()) text += ": " + summary.first_line;
      print_line(text_line(Style{}, text));
      return;
    }
    std::string id =
        clean_line(first_field_text(msg, {"message_id", "id", "call_id", "tool_use_id"}));
    const std::string key = std::string(type) + ":" + (id.empty() ? name : id);
    ToolCall& call = tool_for(key);
    call.name = kind + (name.empty() ? "" : " " + name);
    if (status == "called" || status.empty()) {
      call.arguments = summarize_arguments(content);
      call.result_printed = false;
      show_call(key, call);
      if (!historical) note_activity("Running " + call.name + "…");
      return;
    }
    if (status == "answered" || done_status(status)) {
      show_result(key, call, summarize_output(content), failed_status(status));
      if (!historical) note_activity(THINKING_LABEL);
      return;
    }
    if (!historical) note_activity(call.name + ": " + truncate_text(status, 30));
  }

  std::optional<AskPromptRequest> render_ask(const object& msg, bool historical) {
    const std::string status = status_of(msg);
    std::optional<std::string> id = optional_text(msg, "message_id");
    if (id) *id = clean_line(*id);
    if (historical) {
      record_historical_ask(msg, status, id);
      return std::nullopt;
    }
    if (status.empty() || status == "called") {
      AskPromptRequest request{id, ask_questions(msg), field_text(msg, "type")};
      if (request.message_type.empty()) request.message_type = "ask_message";
      if (im && status == "called") {
        print_lines(question_lines(request.questions));
      }
      // The question panel takes the bottom of the screen: leave it clear.
      release_open_stream();
      commit_plan();
      suspend_status();
      return request;
    }
    if (status == "answered") {
      print_lines(asked_lines(question_texts(ask_questions(msg)), answers_of(msg)));
      return std::nullopt;
    }
    if (failed_status(status)) {
      std::string text = clean_line(first_field_text(msg, {"content", "message", "error"}));
      print_line(text_line(styles().red, "Question failed" + (text.empty() ? "" : ": " + text)));
    }
    return std::nullopt;
  }

  std::vector<Line> question_lines(const boost::json::array& questions) {
    std::vector<Line> lines;
    for (const auto& element : questions) {
      if (!element.is_object()) continue;
      const auto& question = element.get_object();
      lines.push_back(
          text_line(styles().bold, "Question: " + clean_line(field_text(question, "question"))));
      const value* options_field = question.if_contains("options");
      if (!options_field || !options_field->is_array()) continue;
      int number = 0;
      for (const auto& option : options_field->get_array()) {
        const std::string label = option.is_object()
                                      ? clean_line(field_text(option.get_object(), "label"))
                                      : std::string();
        if (label.empty()) continue;
        lines.push_back(text_line(Style{}, fmt::format("  {}. {}", ++number, label)));
      }
    }
    return lines;
  }

  // "● Asked <question>" with "⎿ <answer>" under it, for each question (or each answer when
  // the message named no questions).
  std::vector<Line> asked_lines(std::vector<std::string> questions,
                                const std::vector<std::pair<std::string, std::string>>& answers) {
    if (questions.empty()) {
      for (const auto& entry : answers) questions.push_back(entry.first);
    }
    std::vector<Line> lines;
    for (const auto& question : questions) {
      std::optional<std::string> answer;
      for (const auto& [q, a] : answers) {
        if (q == question || (q.empty() && answers.size() == 1)) answer = a;
      }
      if (im) {
        lines.push_back(text_line(Style{}, "Asked: " + question));
        lines.push_back(text_line(Style{}, "Answer: " + answer.value_or("(none recorded)")));
        continue;
      }
      Line asked = text_line(styles().bold, "● Asked");
      if (!question.empty()) append_run(asked, Style{}, " " + question);
      lines.push_back(truncate_line(asked, width()));
      Line reply = text_line(Style{}, "  ");
      append_run(reply, answer ? styles().green : styles().dim, "⎿ ");
      append_run(reply, styles().dim, answer.value_or("no answer recorded"));
      lines.push_back(truncate_line(reply, width()));
    }
    return lines;
  }

  void record_historical_ask(const object& msg, const std::string& status,
                             const std::optional<std::string>& id) {
    RecordedAsk* record = nullptr;
    if (id) {
      for (auto& ask : historical_asks) {
        if (ask.message_id == id) record = &ask;
      }
    }
    if (!record) {
      if (historical_asks.size() >= MAX_TRACKED) return;
      historical_asks.push_back(RecordedAsk{id, {}, {}});
      record = &historical_asks.back();
    }
    if (auto questions = question_texts(ask_questions(msg)); !questions.empty()) {
      record->questions = std::move(questions);
    }
    if (status == "answered") record->answers = answers_of(msg);
  }

  void render_plan(const object& msg) {
    std::vector<PlanItem> items = parse_plan_items(msg);
    if (items.empty()) return;
    const bool new_plan = !same_plan(items, plan);
    if (!new_plan && items == plan) return;
    const std::vector<PlanItem> before = std::exchange(plan, items);
    if (im) {
      std::vector<Line> lines;
      if (new_plan) {
        lines.push_back(text_line(Style{}, "Plan:"));
        for (const auto& item : plan) lines.push_back(text_line(Style{}, plan_markdown_item(item)));
      } else {
        for (std::size_t i = 0; i < plan.size(); ++i) {
          if (plan[i].status != before[i].status) {
            lines.push_back(text_line(Style{}, plan_markdown_item(plan[i])));
          }
        }
      }
      print_lines(lines);
      return;
    }
    if (options.sticky_collection_plan_live && live_capable()) {
      if (new_plan && plan_live) {
        // A different plan replaces the shown one: the old one stays in the scrollback.
        plan_live = false;
        refresh_live();
        print_lines(plan_lines(before, width()));
      }
      plan_live = true;
      if (plan_finished(plan)) {
        commit_plan();
      } else {
        refresh_live();
      }
      return;
    }
    if (new_plan) {
      print_lines(plan_lines(plan, width()));
      return;
    }
    std::vector<Line> changed;
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (plan[i].status != before[i].status) changed.push_back(plan_item_line(plan[i], width()));
    }
    print_lines(changed);
  }

  void render_error(const object& msg) {
    std::string text = clean_line(first_field_text(msg, {"message", "error", "detail", "content"}));
    if (text.empty()) text = "unknown error";
    const std::string code = clean_line(field_text(msg, "code"));
    Line line = text_line(styles().bold_red, "Error: ");
    append_run(line, styles().red, text);
    if (!code.empty()) append_run(line, styles().dim, " (" + code + ")");
    print_lines(wrap_runs(line, width()));
  }

  void render_complete(const object& msg) {
    end_turn();
    if (im) return;
    std::vector<std::string> parts;
    if (const auto ms = number_field(msg, "duration_ms"); ms && *ms >= 0 && *ms < 1e12) {
      parts.push_back("done in " + format_duration_ms(*ms));
    }
    if (const value* usage = find_field(msg, "usage"); usage && usage->is_object()) {
      const auto& u = usage->get_object();
      const auto count =
          [&](std::initializer_list<std::string_view> keys) -> std::optional<long long> {
        for (const auto key : keys) {
          const value* field = u.if_contains(key);
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
      if (total) {
        std::string text = group_thousands(*total) + " tokens";
        if (in && out)
          text += " (" + group_thousands(*in) + " in · " + group_thousands(*out) + " out)";
        parts.push_back(text);
      }
    }
    if (parts.empty()) return;
    std::string text = "✓ ";
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? " · " : "") + parts[i];
    print_line(text_line(styles().dim, text));
  }

  void render_raw(const object& msg) {
    if (!options.debug) return;
    std::string raw = clean_line(first_field_text(msg, {"raw", "content", "text"}));
    if (raw.size() > MAX_RAW_BYTES) raw = truncate_text(raw, static_cast<int>(MAX_RAW_BYTES));
    print_lines(wrap_runs(text_line(styles().dim, "raw frame: " + raw), width()));
  }

  void render_fallback(const object& msg, bool historical) {
    for (const auto key : {"content", "text", "delta", "message", "answer", "output"}) {
      std::string text = clean_text(answer_text(find_field(msg, key)));
      if (is_blank(text)) continue;
      answer_full("#" + std::to_string(++anonymous_messages), text, historical);
      return;
    }
  }

  std::optional<AskPromptRequest> render(const object& msg, bool historical) {
    const std::string type = message_type(msg);
    const bool thinking_message = type == "agent_thinking" || type == "thinking_commentary";
    const bool was_anonymous_thinking = last_was_anonymous_thinking;
    last_was_anonymous_thinking = false;
    if (historical && options.one_shot) return std::nullopt;

    if (type == "metadata" || type == "config" || type == "heartbeat") return std::nullopt;
    if (type == "text" || type == "answer") {
      const std::optional<std::string> id = optional_text(msg, "message_id");
      const std::string content =
          clean_text(answer_text(find_field(msg, find_field(msg, "content") ? "content" : "text")));
      if (!historical) note_activity("Writing…");
      answer_full(id ? clean_line(*id) : "#" + std::to_string(++anonymous_messages), content,
                  historical);
      return std::nullopt;
    }
    if (type == "text_delta" || type == "answer_delta") {
      const std::optional<std::string> id = optional_text(msg, "message_id");
      std::string delta = clean_text(answer_text(find_field(msg, "delta")));
      if (delta.empty()) delta = clean_text(answer_text(find_field(msg, "content")));
      if (!historical && !delta.empty()) note_activity("Writing…");
      answer_delta(id ? clean_line(*id) : std::string(), delta, historical);
      return std::nullopt;
    }
    if (thinking_message) {
      last_was_anonymous_thinking = was_anonymous_thinking;
      render_thinking(msg, historical);
      last_was_anonymous_thinking = !optional_text(msg, "thinking_id");
      return std::nullopt;
    }
    if (type == "commentary" || type == "child_step_commentary" || type == "inter_child_text") {
      render_commentary(msg);
      return std::nullopt;
    }
    if (type == "step_discovered" || type == "step_started" || type == "step_progress") {
      render_step(msg, type, historical);
      return std::nullopt;
    }
    if (type == "tool_execution" || type == "tool_progress" || type == "tool_completed") {
      render_tool(msg, type, historical);
      return std::nullopt;
    }
    if (type == "mcp_message" || type == "skill_message" || type == "subagent_message") {
      render_nested(msg, type, historical);
      return std::nullopt;
    }
    if (type == "ask_message") return render_ask(msg, historical);
    if (type == "collection_plan") {
      render_plan(msg);
      return std::nullopt;
    }
    if (type == "error") {
      render_error(msg);
      return std::nullopt;
    }
    if (type == "complete") {
      render_complete(msg);
      return std::nullopt;
    }
    if (type == "terminated") {
      end_turn();
      return std::nullopt;
    }
    if (type == "_connection_error") {
      end_turn();
      if (!im) {
        const std::string detail = clean_line(field_text(msg, "error_message"));
        Line line = text_line(styles().yellow, "Connection lost");
        if (!detail.empty()) append_run(line, styles().dim, ": " + detail);
        print_lines(wrap_runs(line, width()));
      }
      return std::nullopt;
    }
    if (type == "resume_complete") {
      release_open_stream();
      return std::nullopt;
    }
    if (type == "_raw") {
      render_raw(msg);
      return std::nullopt;
    }
    if (type == "topic_message") {
      if (im) return std::nullopt;
      const std::string topic =
          clean_line(first_field_text(msg, {"message", "topic", "title", "name"}));
      if (!topic.empty())
        print_line(truncate_line(text_line(styles().dim, "topic: " + topic), width()));
      return std::nullopt;
    }
    render_fallback(msg, historical);
    return std::nullopt;
  }
};

StreamRenderer::StreamRenderer(RendererOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

StreamRenderer::~StreamRenderer() = default;

std::optional<AskPromptRequest> StreamRenderer::render_message(const boost::json::object& msg,
                                                               bool historical) {
  return impl_->render(msg, historical);
}

void StreamRenderer::flush_pending_historical_asks() {
  auto asks = std::move(impl_->historical_asks);
  impl_->historical_asks.clear();
  std::vector<Line> lines;
  for (const auto& ask : asks) {
    for (auto& line : impl_->asked_lines(ask.questions, ask.answers))
      lines.push_back(std::move(line));
  }
  impl_->print_lines(lines);
}

void StreamRenderer::begin_historical_replay() {
  impl_->end_turn();
  impl_->streams.clear();
  impl_->tools.clear();
  impl_->last = Impl::Last::none;
}

void StreamRenderer::set_live_status_enabled(bool enabled) {
  impl_->live_enabled = enabled;
  impl_->refresh_live();
}

void StreamRenderer::stop_thinking_status() { impl_->suspend_status(); }

void StreamRenderer::reset_turn_state() {
  impl_->release_open_stream();
  impl_->commit_plan();
  impl_->im_close_line();
  impl_->streams.clear();
  impl_->tools.clear();
  impl_->step_titles.clear();
  impl_->last_call_line.reset();
  impl_->last = Impl::Last::none;
  impl_->turn_active = true;
  impl_->turn_started = impl_->now();
  impl_->status_label = std::string(THINKING_LABEL);
  impl_->status_suspended = false;
  impl_->refresh_live();
}

void StreamRenderer::flush_deferred_output() {
  Impl& impl = *impl_;
  if (!impl.im) {
    impl.end_turn();
    return;
  }
  impl.im_close_line();
  std::string text;
  for (const auto& [key, part] : impl.deferred) {
    const std::string trimmed(base::trim(part));
    if (trimmed.empty()) continue;
    if (!text.empty()) text += "\n\n";
    text += trimmed;
  }
  impl.deferred.clear();
  if (text.empty()) return;
  if (impl.last != Impl::Last::none) impl.console->write_raw("\n");
  impl.console->write_raw(text + "\n");
  impl.last = Impl::Last::block;
}

void StreamRenderer::render_session_notice(std::string_view text, bool warning) {
  impl_->print_lines(notice_lines(text, warning, impl_->width()));
}

void StreamRenderer::render_invocation_error(std::string_view summary, std::string_view hint,
                                             const std::optional<std::string>& detail, bool debug) {
  impl_->end_turn();
  impl_->print_lines(invocation_error_lines(summary, hint, detail, debug, impl_->width()));
}

void StreamRenderer::render_help() {
  impl_->print_lines(help_lines(impl_->options.help_entries, impl_->width()));
}

void StreamRenderer::render_thinking_history(const std::optional<std::string>& thinking_id) {
  Impl& impl = *impl_;
  if (!thinking_id) {
    impl.print_lines(thinking_list_lines(impl.thinking, impl.width()));
    return;
  }
  const std::string key(base::trim(*thinking_id));
  const ThinkingBlock* block = impl.thinking.find(key);
  if (!block) {
    impl.print_lines(thinking_missing_lines(key, impl.width()));
    return;
  }
  Line head = text_line(styles().bold, "Thinking " + clean_line(block->id));
  append_run(head, styles().dim, " · " + clock_time(block->at));
  std::vector<Line> lines{head};
  if (impl.im) {
    lines.push_back(text_line(Style{}, block->text));
  } else {
    for (auto& line : render_markdown(block->text, impl.markdown_options())) {
      lines.push_back(std::move(line));
    }
  }
  impl.print_lines(lines);
}

void StreamRenderer::render_banner(const BannerInfo& info) {
  Impl& impl = *impl_;
  const BannerContext context{impl.options.version, impl.options.workspace_cwd,
                              impl.options.workspace_branch, impl.home};
  impl.print_lines(banner_lines(info, context, impl.width(), !impl.im));
}

const std::shared_ptr<term::Console>& StreamRenderer::console() const noexcept {
  return impl_->console;
}

bool StreamRenderer::plain_output() const noexcept { return impl_->options.plain_output; }

}  // namespace velmora::renderer
