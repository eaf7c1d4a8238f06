#include "plain_writer.hpp"

#include "answer_writer.hpp"
#include "question_lines.hpp"
#include "style_sheet.hpp"
#include "tool_lines.hpp"
#include "velmora/events/message_fields.hpp"
#include "velmora/events/question.hpp"

namespace velmora::renderer {
namespace {

/// Plain output is never wrapped: pipes and chat platforms lay text out themselves.
constexpr int UNWRAPPED_WIDTH = 100000;

}  // namespace

PlainWriter::PlainWriter(const RendererOptions& options, std::shared_ptr<term::Console> console)
    : one_shot_(options.one_shot), out_(std::move(console)) {
  out_.set_before_output([this](bool) { close_line(); });
}

int PlainWriter::width() const { return UNWRAPPED_WIDTH; }

AnswerStream& PlainWriter::stream_for(const std::string& key) {
  if (streams_.size() >= MAX_TRACKED && !streams_.contains(key)) streams_.clear();
  return streams_.try_emplace(key, false).first->second;
}

void PlainWriter::answer_delta(const std::string& key, const std::string& delta, bool historical) {
  if (delta.empty()) return;
  if (one_shot_ && !historical) {
    defer(key, delta, false);
    return;
  }
  write(key, stream_for(key).append(delta));
}

void PlainWriter::answer(const std::string& key, const std::string& content, bool historical) {
  if (one_shot_ && !historical) {
    defer(key, content, true);
    return;
  }
  write(key, stream_for(key).settle(content));
  close_line();
}

void PlainWriter::defer(const std::string& key, const std::string& text, bool whole) {
  events::add_answer_text(deferred_, key, text, whole);
}

void PlainWriter::write(const std::string& key, const std::string& text) {
  if (text.empty()) return;
  if (open_message_ != key) {
    close_line();
    if (out_.last != Scrollback::Last::none) out_.write_raw("\n");
    open_message_ = key;
  }
  out_.write_raw(text);
  line_open_ = text.back() != '\n';
  out_.last = Scrollback::Last::block;
}

void PlainWriter::close_line() {
  if (line_open_) {
    out_.write_raw("\n");
    line_open_ = false;
  }
  open_message_.reset();
}

void PlainWriter::nested(const events::AgentEvent& event, bool) {
  if (!failed_status(event.status)) return;
  const OutputSummary summary = summarize_output(events::find_field(event.message, "content"));
  std::string text = nested_call_name(event) + " failed";
  if (!summary.first_line.empty()) text += ": " + summary.first_line;
  out_.print_line(text_line(term::Style{}, text));
}

void PlainWriter::question(const events::AgentEvent& event) {
  // Without a panel the question itself is the only trace of it in the output.
  if (event.status == "called") {
    out_.print_lines(question_lines(events::question_maps(event.message)));
  }
}

std::vector<Line> PlainWriter::asked_lines(std::vector<std::string> questions,
                                           const AnswerPairs& answers) {
  return plain_asked_lines(std::move(questions), answers);
}

void PlainWriter::plan(const std::vector<PlanItem>& plan, const std::vector<PlanItem>& before,
                       bool new_plan) {
  std::vector<Line> lines;
  if (new_plan) {
    lines.push_back(text_line(term::Style{}, "Plan:"));
    for (const auto& item : plan)
      lines.push_back(text_line(term::Style{}, plan_markdown_item(item)));
  } else {
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (plan[i].status != before[i].status) {
        lines.push_back(text_line(term::Style{}, plan_markdown_item(plan[i])));
      }
    }
  }
  out_.print_lines(lines);
}

std::vector<Line> PlainWriter::thinking_body(const ThinkingBlock& block) {
  return {text_line(term::Style{}, block.text)};
}

void PlainWriter::end_turn() { close_line(); }

void PlainWriter::start_turn() {
  close_line();
  streams_.clear();
  out_.last = Scrollback::Last::none;
}

void PlainWriter::begin_replay() {
  end_turn();
  streams_.clear();
  out_.last = Scrollback::Last::none;
}

void PlainWriter::flush_deferred() {
  close_line();
  // Written in the pieces it is held in: a joined copy would double a huge answer's memory.
  if (!events::has_answer(deferred_)) {
    deferred_.clear();
    return;
  }
  if (out_.last != Scrollback::Last::none) out_.write_raw("\n");
  events::for_each_answer_piece(deferred_,
                                [this](std::string_view piece) { out_.write_raw(piece); });
  out_.write_raw("\n");
  deferred_.clear();
  out_.last = Scrollback::Last::block;
}

}  // namespace velmora::renderer
