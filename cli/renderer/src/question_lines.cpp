#include "question_lines.hpp"

#include <fmt/format.h>

#include "answer_writer.hpp"
#include "style_sheet.hpp"
#include "tool_lines.hpp"
#include "velmora/events/message_fields.hpp"
#include "velmora/events/question.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {
namespace {

using events::clean_line;
using events::field_text;

/// The answer recorded for each question (or each answer when the message named no
/// questions).
std::vector<std::pair<std::string, std::optional<std::string>>> pair_answers(
    std::vector<std::string> questions, const AnswerPairs& answers) {
  if (questions.empty()) {
    for (const auto& entry : answers) questions.push_back(entry.first);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> out;
  for (auto& question : questions) {
    std::optional<std::string> answer;
    for (const auto& [q, a] : answers) {
      if (q == question || (q.empty() && answers.size() == 1)) answer = a;
    }
    out.emplace_back(std::move(question), std::move(answer));
  }
  return out;
}

}  // namespace

std::vector<Line> question_lines(const boost::json::array& questions) {
  std::vector<Line> lines;
  for (const auto& element : questions) {
    if (!element.is_object()) continue;
    const auto& question = element.get_object();
    lines.push_back(
        text_line(styles().bold, "Question: " + clean_line(field_text(question, "question"))));
    const boost::json::value* options_field = question.if_contains("options");
    if (!options_field || !options_field->is_array()) continue;
    int number = 0;
    for (const auto& option : options_field->get_array()) {
      const std::string label =
          option.is_object() ? clean_line(field_text(option.get_object(), "label")) : std::string();
      if (label.empty()) continue;
      lines.push_back(text_line(term::Style{}, fmt::format("  {}. {}", ++number, label)));
    }
  }
  return lines;
}

std::vector<Line> terminal_asked_lines(std::vector<std::string> questions,
                                       const AnswerPairs& answers, int width) {
  std::vector<Line> lines;
  for (const auto& [question, answer] : pair_answers(std::move(questions), answers)) {
    Line asked = text_line(styles().bold, "● Asked");
    if (!question.empty()) append_run(asked, term::Style{}, " " + question);
    lines.push_back(truncate_line(asked, width));
    Line reply = text_line(term::Style{}, "  ");
    append_run(reply, answer ? styles().green : styles().dim, "⎿ ");
    append_run(reply, styles().dim, answer.value_or("no answer recorded"));
    lines.push_back(truncate_line(reply, width));
  }
  return lines;
}

std::vector<Line> plain_asked_lines(std::vector<std::string> questions,
                                    const AnswerPairs& answers) {
  std::vector<Line> lines;
  for (const auto& [question, answer] : pair_answers(std::move(questions), answers)) {
    lines.push_back(text_line(term::Style{}, "Asked: " + question));
    lines.push_back(text_line(term::Style{}, "Answer: " + answer.value_or("(none recorded)")));
  }
  return lines;
}

std::vector<std::string> question_texts(const boost::json::array& questions) {
  std::vector<std::string> texts;
  for (const auto& question : questions) {
    if (!question.is_object()) continue;
    texts.push_back(clean_line(field_text(question.get_object(), "question")));
  }
  return texts;
}

AnswerPairs answers_of(const boost::json::object& msg) {
  AnswerPairs answers;
  const boost::json::value* field = events::find_field(msg, "answers");
  if (field && field->is_object()) {
    for (const auto& entry : field->get_object()) {
      answers.emplace_back(clean_line(entry.key()), clean_line(content_text(&entry.value())));
    }
  } else if (field && field->is_array()) {
    for (const auto& element : field->get_array()) {
      if (!element.is_object()) continue;
      const auto& item = element.get_object();
      answers.emplace_back(
          clean_line(field_text(item, "question")),
          clean_line(events::first_field_text(item, {"answer", "value", "label"})));
    }
  } else if (std::string answer = events::first_field_text(msg, {"answer"}); !answer.empty()) {
    answers.emplace_back(std::string(), clean_line(answer));
  }
  return answers;
}

void RecordedQuestions::record(const boost::json::object& msg, const std::string& status) {
  const std::optional<std::string> id = events::question_id(msg);
  Entry* entry = nullptr;
  if (id) {
    for (auto& candidate : entries_) {
      if (candidate.message_id == id) entry = &candidate;
    }
  }
  if (!entry) {
    if (entries_.size() >= MAX_TRACKED) return;
    entries_.push_back(Entry{id, {}, {}});
    entry = &entries_.back();
  }
  if (auto questions = question_texts(events::question_maps(msg)); !questions.empty()) {
    entry->questions = std::move(questions);
  }
  if (status == "answered") entry->answers = answers_of(msg);
}

std::vector<RecordedQuestions::Entry> RecordedQuestions::take() {
  auto entries = std::move(entries_);
  entries_.clear();
  return entries;
}

}  // namespace velmora::renderer
