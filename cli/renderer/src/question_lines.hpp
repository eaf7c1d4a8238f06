// How questions show: the question with its numbered options (plain output, where no panel
// asks it), "asked / answer" lines once answered, and the questions a history replay met,
// recorded until the replay is over.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "text_layout.hpp"
#include "writer.hpp"

namespace velmora::renderer {

/// "Question: …" and its options numbered "  1. label".
[[nodiscard]] std::vector<Line> question_lines(const boost::json::array& questions);

/// "● Asked <question>" with "  ⎿ <answer>" under it (terminal).
[[nodiscard]] std::vector<Line> terminal_asked_lines(std::vector<std::string> questions,
                                                     const AnswerPairs& answers, int width);
/// "Asked: <question>" and "Answer: <answer>" (plain output).
[[nodiscard]] std::vector<Line> plain_asked_lines(std::vector<std::string> questions,
                                                  const AnswerPairs& answers);

/// The question texts of an ask message, one line each.
[[nodiscard]] std::vector<std::string> question_texts(const boost::json::array& questions);
/// The answers an "answered" ask message carries.
[[nodiscard]] AnswerPairs answers_of(const boost::json::object& msg);

/// Questions seen during a history replay, merged by message id, with their answers.
class RecordedQuestions {
 public:
  struct Entry {
    std::optional<std::string> message_id;
    std::vector<std::string> questions;
    AnswerPairs answers;
  };

  void record(const boost::json::object& msg, const std::string& status);
  /// Hands the recorded questions over and forgets them.
  [[nodiscard]] std::vector<Entry> take();

 private:
  std::vector<Entry> entries_;
};

}  // namespace velmora::renderer
