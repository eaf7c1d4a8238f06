#include "velmora/input_lines.hpp"

#include <boost/json/parse.hpp>

#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/cli_errors.hpp"
#include "velmora/config_payload.hpp"

namespace velmora {

namespace {

namespace json = boost::json;

/// A field's JSON type in words, for the messages.
std::string_view kind_of(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return "null";
    case json::kind::bool_:
      return "a boolean";
    case json::kind::string:
      return "a string";
    case json::kind::array:
      return "an array";
    case json::kind::object:
      return "an object";
    default:
      return "a number";
  }
}

bool blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

/// A value quoted for a message: cut short, never more than one line.
std::string quoted(std::string_view text) {
  constexpr std::size_t SHOWN = 80;
  std::string shown = velmora::base::sanitize_utf8(text.substr(0, SHOWN));
  for (char& c : shown) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  return "'" + shown + (text.size() > SHOWN ? "…'" : "'");
}

InputItem parse_query(std::size_t number, const json::object& line) {
  const auto bad = [number](std::string_view what) {
    return input_problem(number, "input_invalid_query", what);
  };
  const json::value* query = line.if_contains("query");
  if (query == nullptr || query->is_null()) return bad("a query needs \"query\", its text");
  if (!query->is_string()) {
    return bad("\"query\" must be a string, not " + std::string(kind_of(*query)));
  }
  if (blank(query->get_string())) return bad("the query has no text");
  InputQuery out{.line = number, .text = std::string(query->get_string())};

  if (const json::value* list = line.if_contains("attachments"); list && !list->is_null()) {
    if (!list->is_array()) return bad("\"attachments\" must be an array of file paths");
    for (const json::value& path : list->get_array()) {
      if (!path.is_string() || path.get_string().empty()) {
        return input_problem(number, "input_attachment",
                             "\"attachments\" must hold file paths (non-empty strings)");
      }
      out.attachments.emplace_back(path.get_string());
    }
  }
  if (const json::value* config = line.if_contains("config"); config && !config->is_null()) {
    if (config->is_object()) {
      out.config = config->get_object();
    } else if (config->is_string()) {
      // The text `--config` takes, for callers that keep it as text.
      try {
        out.config = parse_config_payload(std::string(config->get_string()));
      } catch (const std::exception& e) {
        return bad("\"config\" is not an object: " + velmora::base::error_text_or_kind(e));
      }
      if (!out.config) out.config = json::object();
    } else {
      return bad("\"config\" must be an object, not " + std::string(kind_of(*config)));
    }
  }
  if (const json::value* prompt = line.if_contains("system_prompt"); prompt && !prompt->is_null()) {
    if (!prompt->is_string()) {
      return bad("\"system_prompt\" must be a string, not " + std::string(kind_of(*prompt)));
    }
    out.system_prompt = std::string(prompt->get_string());
  }
  return out;
}

InputItem parse_answer(std::size_t number, const json::object& line) {
  const auto bad = [number](std::string_view what) {
    return input_problem(number, "input_invalid_answer", what);
  };
  InputAnswer out{.line = number};
  if (const json::value* id = line.if_contains("message_id"); id && !id->is_null()) {
    if (!id->is_string()) return bad("\"message_id\" must be a string");
    out.message_id = std::string(id->get_string());
  }
  const json::value* answers = line.if_contains("answers");
  if (answers == nullptr || !answers->is_object()) {
    return bad("an answer needs \"answers\", an object of question text to answer text");
  }
  for (const auto& entry : answers->get_object()) {
    if (!entry.value().is_string()) {
      return bad("the answer to " + quoted(entry.key()) + " must be a string, not " +
                 std::string(kind_of(entry.value())));
    }
  }
  out.answers = answers->get_object();
  return out;
}

}  // namespace

InputProblem input_problem(std::size_t number, std::string code, std::string_view what) {
  return {.line = number,
          .code = std::move(code),
          .message = "line " + std::to_string(number) + ": " + std::string(what)};
}

void InputLineSplitter::complete(std::vector<InputLine>& out) {
  const std::size_t number = next_number_++;
  if (skipping_) {
    out.push_back({.number = number, .text = {}, .too_long = true});
  } else {
    if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
    if (!blank(partial_)) out.push_back({.number = number, .text = std::move(partial_)});
  }
  partial_.clear();
  skipping_ = false;
}

std::vector<InputLine> InputLineSplitter::feed(std::string_view bytes) {
  std::vector<InputLine> out;
  while (!bytes.empty()) {
    const auto end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!skipping_) {
      if (partial_.size() + piece.size() > max_) {
        skipping_ = true;
        // Handed back at once: the memory of an over-long line is never kept.
        std::string().swap(partial_);
      } else {
        partial_.append(piece);
      }
    }
    if (end == std::string_view::npos) break;
    complete(out);
    bytes.remove_prefix(end + 1);
  }
  return out;
}

std::vector<InputLine> InputLineSplitter::finish() {
  std::vector<InputLine> out;
  if (skipping_ || !partial_.empty()) complete(out);
  return out;
}

InputItem parse_input_line(std::size_t number, std::string_view text) {
  boost::system::error_code ec;
  json::value value = json::parse(text, ec);
  if (ec) {
    return input_problem(number, "input_not_json", "not JSON (" + ec.message() + ")");
  }
  if (!value.is_object()) {
    return input_problem(number, "input_not_json",
                         "not a JSON object but " + std::string(kind_of(value)));
  }
  const json::object& line = value.get_object();
  const json::value* type = line.if_contains("type");
  if (type == nullptr || !type->is_string()) {
    return input_problem(number, "input_unknown_type",
                         "no \"type\" (one of query, interrupt, answer)");
  }
  const std::string_view name = type->get_string();
  if (name == "query") return parse_query(number, line);
  if (name == "interrupt") return InputInterrupt{.line = number};
  if (name == "answer") return parse_answer(number, line);
  return input_problem(number, "input_unknown_type",
                       "unknown type " + quoted(name) + " (one of query, interrupt, answer)");
}

}  // namespace velmora
