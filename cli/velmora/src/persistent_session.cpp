#include "velmora/persistent_session.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>

#include <boost/asio/experimental/awaitable_operators.hpp>

#include "velmora/base/json_text.hpp"
#include "velmora/completion_wait.hpp"
#include "velmora/input_lines.hpp"
#include "velmora/input_loop.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {

namespace {

namespace json = boost::json;
using velmora::term::Console;

constexpr std::size_t READ_CHUNK_BYTES = 64 * 1024;

/// Why a file cannot be uploaded, or nothing when it can be read.
std::optional<std::string> unreadable(const std::string& path) {
  // Non-blocking: a named pipe given as an attachment must not hold the reader.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::string(std::strerror(errno));
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  if (!regular) return std::string("not a regular file");
  return std::nullopt;
}

/// What one read of standard input gave.
struct InputBatch {
  std::vector<InputItem> items;
  bool ended = false;
  std::optional<std::string> read_error;
};

/// Standard input, read and parsed on a worker thread. One read runs at a time and each is
/// handed over through the event loop, so the state needs no lock.
class StdinReader {
 public:
  InputBatch next() {
    InputBatch batch;
    ssize_t n = 0;
    do {
      n = ::read(STDIN_FILENO, buffer_.data(), buffer_.size());
    } while (n < 0 && errno == EINTR);
    std::vector<InputLine> lines;
    if (n > 0) {
      lines = splitter_.feed(std::string_view(buffer_.data(), static_cast<std::size_t>(n)));
    } else {
      batch.ended = true;
      if (n < 0) batch.read_error = std::strerror(errno);
      lines = splitter_.finish();
    }
    for (InputLine& line : lines) batch.items.push_back(take(line));
    return batch;
  }

 private:
  static InputItem take(const InputLine& line) {
    if (line.too_long) {
      return input_problem(
          line.number, "input_too_long",
          "longer than " + std::to_string(MAX_INPUT_LINE_BYTES >> 20) + " MiB; skipped");
    }
    InputItem item = parse_input_line(line.number, line.text);
    if (const auto* query = std::get_if<InputQuery>(&item)) {
      for (const std::string& path : query->attachments) {
        if (const auto why = unreadable(path)) {
          return input_problem(
              line.number, "input_attachment",
              "attachment '" + velmora::base::sanitize_utf8(path) + "' cannot be read: " + *why);
        }
      }
    }
    return item;
  }

  InputLineSplitter splitter_{MAX_INPUT_LINE_BYTES};
  std::vector<char> buffer_ = std::vector<char>(READ_CHUNK_BYTES);
};

std::size_t held_bytes(const InputQuery& query) {
  std::size_t bytes = query.text.size() + (query.system_prompt ? query.system_prompt->size() : 0);
  for (const auto& path : query.attachments) bytes += path.size();
  return bytes;
}

/// What the reader hands the turns, and the question waiting for an answer line.
struct Inbox {
  explicit Inbox(const boost::asio::any_io_executor& ex) : arrived(ex), room(ex) {}

  [[nodiscard]] bool full() const {
    return queries.size() >= MAX_QUEUED_QUERIES || queued_bytes >= MAX_QUEUED_QUERY_BYTES;
  }

  /// Queries in order; an empty entry marks the end of input.
  std::deque<std::optional<InputQuery>> queries;
  std::size_t queued_bytes = 0;
  velmora::base::Event arrived;
  velmora::base::Event room;
  std::optional<events::AskPromptRequest> open_question;
};

void report_problem(SessionState& s, const InputProblem& problem) {
  s.setup.headless->input_error(problem.line, problem.code, problem.message);
}

velmora::base::awaitable<void> take_answer(SessionState& s, Inbox& inbox, InputAnswer& answer) {
  auto& open = inbox.open_question;
  if (!open || (answer.message_id && answer.message_id != open->message_id)) {
    std::string what = "no question waits for an answer";
    if (open && open->message_id) {
      what += " with message_id '" + velmora::base::sanitize_utf8(*answer.message_id) +
              "' (the open one is '" + *open->message_id + "')";
    }
    report_problem(s, input_problem(answer.line, "input_no_question", what));
    co_return;
  }
  const events::AskPromptRequest question = std::move(*open);
  open.reset();
  s.setup.headless->question_answered(question.message_id, question.questions, answer.answers);
  if (!question.message_id || question.message_id->empty()) co_return;
  try {
    co_await s.client.send_answer(*question.message_id, std::move(answer.answers));
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    // The connection broke under it: the turn's result reports the drop.
    s.report_loop_error("Failed to send the answer.",
                        "The session reconnects; send the question again.", e);
  }
}

velmora::base::awaitable<void> take_item(SessionState& s, Inbox& inbox, InputItem& item) {
  if (auto* query = std::get_if<InputQuery>(&item)) {
    inbox.queued_bytes += held_bytes(*query);
    inbox.queries.emplace_back(std::move(*query));
    inbox.arrived.set();
  } else if (std::holds_alternative<InputInterrupt>(item)) {
    // Like the service, an interrupt with no turn running changes nothing.
    if (s.turn_in_progress) s.interrupt_turn(/*announce=*/false);
  } else if (auto* answer = std::get_if<InputAnswer>(&item)) {
    co_await take_answer(s, inbox, *answer);
  } else {
    report_problem(s, std::get<InputProblem>(item));
  }
}

velmora::base::awaitable<void> read_input(SessionState& s, Inbox& inbox) {
  // `init` comes first: lines are read once the session is bound (or the binding is late).
  const auto bound = std::make_shared<velmora::base::Event>(s.executor);
  // Held weakly: the report outlives the event loop, the event must not.
  s.setup.headless->when_bound([weak = std::weak_ptr(bound)] {
    if (const auto event = weak.lock()) event->set();
  });
  (void)co_await bound->wait_for(ATTACHMENT_THREAD_ID_TIMEOUT_SECONDS);
  const auto reader = std::make_shared<StdinReader>();
  while (true) {
    while (inbox.full()) {
      inbox.room.clear();
      co_await inbox.room.wait();
    }
    auto read = [reader] { return reader->next(); };
    InputBatch batch = co_await velmora::base::run_blocking(std::move(read));
    for (InputItem& item : batch.items) co_await take_item(s, inbox, item);
    if (!batch.ended) continue;
    if (batch.read_error) {
      s.console.print("[red]standard input could not be read:[/red] " +
                      Console::escape(*batch.read_error));
    }
    inbox.queries.emplace_back(std::nullopt);
    inbox.arrived.set();
    co_return;
  }
}

velmora::base::awaitable<std::optional<InputQuery>> next_query(Inbox& inbox) {
  while (inbox.queries.empty()) {
    inbox.arrived.clear();
    co_await inbox.arrived.wait();
  }
  std::optional<InputQuery> query = std::move(inbox.queries.front());
  inbox.queries.pop_front();
  if (query) inbox.queued_bytes -= held_bytes(*query);
  if (!inbox.full()) inbox.room.set();
  co_return query;
}

/// The turn's status as a one-shot would end with it.
int turn_status(SessionState& s) {
  if (s.connection_lost_detail) {
    s.setup.headless->error("Connection lost before the answer completed.",
                            "Send the question again to retry; the session reconnects.",
                            s.connection_lost_detail);
    return 1;
  }
  return s.turn.failed_with_agent_error() ? 1 : 0;
}

velmora::base::awaitable<void> run_turn(SessionState& s, Inbox& inbox, InputQuery& query) {
  HeadlessReport& report = *s.setup.headless;
  report.begin_turn();
  s.query_complete_event.clear();
  s.connection_lost_detail.reset();
  for (const auto& path : query.attachments) s.pending_attachments.push_back({.path = path});
  std::optional<json::array> attachments = co_await upload_query_attachments(s);
  // Each query line carries its own attachments; a failed upload is that turn's failure.
  s.pending_attachments.clear();
  if (!attachments) {
    (void)report.end_turn(1);
    co_return;
  }

  s.renderer.reset_turn_state();
  s.turn.reset();
  // Set before sending: a connection that breaks while the query is on its way must still
  // report the turn as cut off.
  s.turn_in_progress = true;
  try {
    wirelet::QueryOptions options = s.query_options(std::move(*attachments));
    if (query.config) options.config = std::move(query.config);
    if (query.system_prompt) options.system_prompt = clean_optional_str(query.system_prompt);
    co_await s.client.send_query(query.text, std::move(options));
  } catch (const std::exception& e) {
    if (is_cancellation(e)) throw;
    s.turn_in_progress = false;
    s.report_loop_error("Failed to send the query.",
                        "Send the query again; the session reconnects after a drop.", e);
    (void)report.end_turn(1);
    co_return;
  }
  co_await wait_for_interactive_turn_completion(s.query_complete_event, s.stop_event);
  // An answer line for this turn's question comes too late now.
  inbox.open_question.reset();
  // The session is ending under the turn: the report's finish writes its result.
  if (!s.query_complete_event.is_set()) co_return;
  (void)report.end_turn(turn_status(s));
}

velmora::base::awaitable<void> run_turns(SessionState& s, Inbox& inbox) {
  using namespace boost::asio::experimental::awaitable_operators;
  while (!s.stop_event.is_set()) {
    std::optional<InputQuery> query = co_await next_query(inbox);
    if (!query) break;
    if (!s.prompt_ready_event.is_set()) {
      // A history replay or a reconnect holds the query until the connection is ready.
      (void)co_await (s.prompt_ready_event.wait() || s.stop_event.wait());
      if (s.stop_event.is_set()) co_return;
    }
    co_await run_turn(s, inbox, *query);
  }
  // The end of input, after the last query's turn: the session closes with terminate.
  s.stop_event.set();
}

}  // namespace

velmora::base::awaitable<void> persistent_input_loop(SessionState& s) {
  using namespace boost::asio::experimental::awaitable_operators;
  Inbox inbox(s.executor);
  if (s.answers_from_input) {
    s.answer_from_input = [&inbox](const events::AskPromptRequest& question) {
      inbox.open_question = question;
    };
  }
  try {
    co_await (read_input(s, inbox) && run_turns(s, inbox));
  } catch (...) {
    s.answer_from_input = nullptr;
    throw;
  }
  s.answer_from_input = nullptr;
}

}  // namespace velmora
