#include "demo_turn.hpp"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "text_util.hpp"

namespace velmora::agent_sim {
namespace {

std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && !std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos > start) words.push_back(text.substr(start, pos - start));
  }
  return words;
}

bool is_trigger(std::string_view word) { return to_lower(word).rfind("sim:", 0) == 0; }

Step send(boost::json::object frame) {
  Step step;
  step.kind = StepKind::send;
  step.frame = std::move(frame);
  return step;
}

Step pause(double seconds) {
  Step step;
  step.kind = StepKind::delay;
  step.seconds = seconds;
  return step;
}

Step stream(std::string text, std::size_t chunk, double delay, std::string message_id) {
  Step step;
  step.kind = StepKind::stream;
  step.text = std::move(text);
  step.count = chunk;
  step.seconds = delay;
  step.message_id = std::move(message_id);
  return step;
}

boost::json::object plan_frame(int done, int active) {
  static constexpr const char* TITLES[] = {"Search the notes", "Collect background",
                                           "Write the answer"};
  boost::json::array items;
  for (int i = 0; i < 3; ++i) {
    const char* status = i < done ? "completed" : i == active ? "in_progress" : "pending";
    items.push_back(boost::json::object{{"title", TITLES[i]}, {"status", status}});
  }
  return {{"type", "collection_plan"}, {"items", std::move(items)}};
}

constexpr std::string_view ANSWER_HEAD =
    "## {{topic}}\n"
    "\n"
    "You asked: *{{excerpt}}*\n";

constexpr std::string_view ANSWER_BODY =
    "\n"
    "### What I found\n"
    "\n"
    "- The notes mention this **3 times**, most recently last week.\n"
    "- The researcher prefers the second approach: it scales better.\n"
    "- Nothing in your current setup has to change.\n"
    "\n"
    "### Example\n"
    "\n"
    "```python\n"
    "def summarize(items):\n"
    "    return {item.name: item.score for item in items if item.score > 0.5}\n"
    "```\n"
    "\n"
    "### Summary\n"
    "\n"
    "| Step | Result |\n"
    "|------|--------|\n"
    "| Search the notes | 3 matches |\n"
    "| Collect background | done |\n"
    "| Write the answer | ready |\n";

std::string slow_text(std::size_t count) {
  std::ostringstream out;
  for (std::size_t i = 1; i <= count; ++i) {
    out << "Part " << i << " of a long answer.";
    out << (i % 8 == 0 ? "\n\n" : " ");
  }
  return out.str();
}

}  // namespace

QueryTriggers parse_triggers(std::string_view query) {
  QueryTriggers t;
  for (const auto word_view : words_of(query)) {
    const std::string word = to_lower(word_view);
    if (word == "sim:ask") {
      t.ask_options = true;
    } else if (word == "sim:ask-free") {
      t.ask_free = true;
    } else if (word == "sim:plan") {
      t.plan = true;
    } else if (word == "sim:slow") {
      t.slow = true;
    } else if (word == "sim:error") {
      t.error = true;
    } else if (word == "sim:error-late") {
      t.error_late = true;
    } else if (word.rfind("sim:stream=", 0) == 0) {
      const std::string digits = word.substr(11);
      if (!digits.empty() && digits.size() <= 12 &&
          digits.find_first_not_of("0123456789") == std::string::npos) {
        t.stream = static_cast<std::size_t>(std::stoull(digits));
      }
    }
  }
  return t;
}

std::string strip_triggers(std::string_view query) {
  std::string out;
  for (const auto word : words_of(query)) {
    if (is_trigger(word)) continue;
    if (!out.empty()) out.push_back(' ');
    out.append(word);
  }
  return out;
}

std::string excerpt(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
  const auto space = text.substr(0, cut).rfind(' ');
  if (space != std::string_view::npos && space > max_bytes / 2) cut = space;
  return std::string(text.substr(0, cut)) + "\xE2\x80\xA6";
}

std::string topic_title(std::string_view query) {
  const std::string plain = strip_triggers(query);
  if (plain.empty()) return "New conversation";
  std::string title = excerpt(plain, 48);
  if (title[0] >= 'a' && title[0] <= 'z') title[0] = static_cast<char>(title[0] - 'a' + 'A');
  return title;
}

Steps build_demo_turn(const DemoTurnInput& input, const DemoSettings& settings) {
  const QueryTriggers triggers = parse_triggers(input.query);
  const std::string& p = input.id_prefix;
  const double pace = settings.pace;
  Steps steps;
  const auto add = [&](boost::json::object frame) {
    if (!steps.empty() && pace > 0) steps.push_back(pause(pace));
    steps.push_back(send(std::move(frame)));
  };
  const auto complete = [&] {
    Step step;
    step.kind = StepKind::complete;
    steps.push_back(std::move(step));
  };

  const std::size_t stream_count = triggers.stream.value_or(settings.throughput);
  if (stream_count > 0 || triggers.stream) {
    Step step;
    step.kind = StepKind::throughput;
    step.count = stream_count;
    step.text = settings.throughput_text;
    step.message_id = p + "-answer";
    steps.push_back(std::move(step));
    complete();
    return steps;
  }

  add({{"type", "agent_thinking"},
       {"thinking_id", p + "-think"},
       {"content",
        "The user asks: \"{{excerpt}}\". I will search the notes, ask the researcher for "
        "background, then write a short answer."}});
  if (input.first_query) add({{"type", "topic_message"}, {"message", "{{topic}}"}});
  if (triggers.error) {
    add({{"type", "error"},
         {"code", "simulated_error"},
         {"message", "The agent could not finish this request (simulated failure)."}});
    complete();
    return steps;
  }
  if (triggers.plan) add(plan_frame(0, 0));
  add({{"type", "step_discovered"},
       {"step_id", p + "-s1"},
       {"title", "Search the notes"},
       {"status", "pending"}});
  add({{"type", "step_started"},
       {"step_id", p + "-s1"},
       {"title", "Search the notes"},
       {"status", "in_progress"}});
  add({{"type", "tool_execution"},
       {"tool_use_id", p + "-tool"},
       {"tool_name", "search_notes"},
       {"input", boost::json::object{{"query", "{{excerpt}}"}, {"limit", 5}}},
       {"status", "running"}});
  add({{"type", "tool_completed"},
       {"tool_use_id", p + "-tool"},
       {"tool_name", "search_notes"},
       {"status", "completed"},
       {"output", "Found 3 notes that mention the topic."},
       {"is_error", false}});
  add({{"type", "step_progress"},
       {"step_id", p + "-s1"},
       {"title", "Search the notes"},
       {"status", "completed"},
       {"progress", 1.0}});
  if (triggers.plan) add(plan_frame(1, 1));
  add({{"type", "subagent_message"},
       {"name", "researcher"},
       {"status", "called"},
       {"content", "Collect background for: {{excerpt}}"}});
  add({{"type", "subagent_message"},
       {"name", "researcher"},
       {"status", "answered"},
       {"content", "Two approaches are common; the second one scales better."}});
  if (triggers.plan) add(plan_frame(2, 2));

  std::string answer(ANSWER_HEAD);
  if (triggers.ask_options || triggers.ask_free) {
    boost::json::object question;
    if (triggers.ask_options) {
      question = {{"question", "Which format should the answer take?"},
                  {"header", "Format"},
                  {"options", boost::json::array{
                                  boost::json::object{{"label", "Short summary"},
                                                      {"description", "A few lines"}},
                                  boost::json::object{{"label", "Detailed report"},
                                                      {"description", "Sections and a table"}},
                              }}};
    } else {
      question = {{"question", "What should the answer focus on?"}, {"header", "Focus"}};
    }
    add({{"type", "ask_message"},
         {"message_id", p + "-ask"},
         {"status", "called"},
         {"questions", boost::json::array{std::move(question)}}});
    Step wait;
    wait.kind = StepKind::wait_answer;
    wait.seconds = settings.answer_timeout;
    wait.fail_on_timeout = true;
    steps.push_back(std::move(wait));
    answer += "\nYou answered: **{{answer}}**\n";
  }
  if (pace > 0) steps.push_back(pause(pace));
  if (triggers.slow) {
    answer += '\n';
    answer += slow_text(settings.slow_count);
    // About slow_count pieces, so the stream lasts about slow_count × slow_delay.
    const std::size_t chunk =
        std::max<std::size_t>(1, answer.size() / std::max<std::size_t>(1, settings.slow_count));
    steps.push_back(stream(answer, chunk, settings.slow_delay, p + "-answer"));
  } else {
    answer += ANSWER_BODY;
    steps.push_back(stream(answer, settings.chunk_bytes, pace / 4, p + "-answer"));
  }
  if (triggers.plan) add(plan_frame(3, -1));
  if (triggers.error_late) {
    add({{"type", "error"},
         {"code", "simulated_error"},
         {"message", "The agent stopped before checking its answer (simulated failure)."}});
  }
  complete();
  return steps;
}

}  // namespace velmora::agent_sim
