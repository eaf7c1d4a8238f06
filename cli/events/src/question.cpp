#include "velmora/events/question.hpp"

#include "velmora/events/message_fields.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::events {
namespace {

using boost::json::object;
using boost::json::value;

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

// The question maps of an ask message: object elements as `map` makes them, bare texts as
// {"question": text}.
template <class Map, class Text>
boost::json::array questions_of(const object& msg, Map map, Text text) {
  boost::json::array questions;
  const value* field = find_field(msg, "questions");
  if (field && field->is_array()) {
    for (const auto& element : field->get_array()) {
      if (element.is_object()) {
        questions.push_back(map(element));
      } else if (element.is_string()) {
        questions.push_back(object{{"question", text(element.get_string())}});
      }
    }
  } else if (std::string question = field_text(msg, "question"); !question.empty()) {
    questions.push_back(object{{"question", text(question)}});
  }
  return questions;
}

boost::json::array questions_as_sent(const object& msg) {
  return questions_of(
      msg, [](const value& element) { return element; },
      [](std::string_view text) { return std::string(text); });
}

}  // namespace

boost::json::array question_maps(const object& msg) {
  return questions_of(
      msg, [](const value& element) { return cleaned_value(element, 0); },
      [](std::string_view text) { return clean_text(text); });
}

std::optional<std::string> question_id(const object& msg) {
  std::optional<std::string> id = optional_text(msg, "message_id");
  if (id) *id = clean_line(*id);
  return id;
}

std::optional<AskPromptRequest> open_question(const AgentEvent& event) {
  if (event.kind != EventKind::question) return std::nullopt;
  if (!event.status.empty() && event.status != "called") return std::nullopt;
  AskPromptRequest request{optional_text(event.message, "message_id"),
                           questions_as_sent(event.message), field_text(event.message, "type")};
  if (request.message_type.empty()) request.message_type = "ask_message";
  return request;
}

}  // namespace velmora::events
