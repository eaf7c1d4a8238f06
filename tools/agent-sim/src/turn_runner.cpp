#include "turn_runner.hpp"

#include <algorithm>

#include <boost/asio/experimental/awaitable_operators.hpp>

#include "velmora/base/json_text.hpp"

namespace velmora::agent_sim {
namespace {

namespace net = velmora::base::net;
using velmora::base::awaitable;

bool is_ask_type(std::string_view type) {
  return type == "ask_message" || type == "ask_user_input" || type == "askuserinput";
}

std::string delta_frame(std::string_view type, std::string_view delta, std::string_view id) {
  std::string out = "{\"type\": ";
  velmora::base::append_json_string(out, type);
  out += ", \"delta\": ";
  velmora::base::append_json_string(out, delta);
  out += ", \"message_id\": ";
  velmora::base::append_json_string(out, id);
  out += "}";
  return out;
}

struct Runner {
  TurnHost& host;
  TurnSignals& signals;
  TurnContext context;
  double started = velmora::base::monotonic_seconds();
  std::size_t output_bytes = 0;
  std::string ask_id;

  boost::json::object usage() const {
    const std::size_t input = std::max<std::size_t>(1, context.query_bytes / 4);
    const std::size_t output = std::max<std::size_t>(1, output_bytes / 4);
    return {{"input_tokens", input}, {"output_tokens", output}, {"total_tokens", input + output}};
  }

  std::int64_t elapsed_ms() const {
    return static_cast<std::int64_t>((velmora::base::monotonic_seconds() - started) * 1000.0);
  }

  awaitable<bool> send_object(const boost::json::object& frame) {
    const auto expanded = expand_json_placeholders(frame, context.placeholders);
    const auto& object = expanded.get_object();
    if (const auto* type = object.if_contains("type");
        type && type->is_string() && is_ask_type(type->get_string())) {
      if (const auto* id = object.if_contains("message_id"); id && id->is_string()) {
        ask_id = std::string(id->get_string());
      }
    }
    std::string text = velmora::base::json_dumps(expanded);
    output_bytes += text.size();
    co_return co_await host.send(std::move(text), false, context.keep_history);
  }

  awaitable<bool> send_complete(boost::json::object extra) {
    boost::json::object frame{{"type", "complete"}};
    for (const auto& [key, value] : extra) frame[key] = value;
    if (!frame.contains("usage")) frame["usage"] = usage();
    if (!frame.contains("duration_ms")) frame["duration_ms"] = elapsed_ms();
    co_return co_await send_object(frame);
  }

  // True when an interrupt arrived during the pause.
  awaitable<bool> pause(double seconds) {
    if (signals.interrupt.is_set()) co_return true;
    if (seconds <= 0) co_return false;
    co_return co_await signals.interrupt.wait_for(seconds);
  }

  enum class Waited { answered, interrupted, timed_out };

  awaitable<Waited> wait_answer(double timeout) {
    const double deadline = velmora::base::monotonic_seconds() + (timeout > 0 ? timeout : 1e9);
    while (true) {
      while (!signals.answers.empty()) {
        Answer answer = std::move(signals.answers.front());
        signals.answers.pop_front();
        // An answer to another (older) question is stale.
        if (!ask_id.empty() && answer.message_id != ask_id) continue;
        std::string joined;
        for (const auto& [question, value] : answer.answers) {
          if (!joined.empty()) joined += "; ";
          joined += value.is_string() ? std::string(value.get_string())
                                      : velmora::base::json_dumps(value);
        }
        context.placeholders["answer"] = joined;
        context.placeholders["answers_json"] = velmora::base::json_dumps(answer.answers);
        co_return Waited::answered;
      }
      if (signals.interrupt.is_set()) co_return Waited::interrupted;
      const double left = deadline - velmora::base::monotonic_seconds();
      if (left <= 0) co_return Waited::timed_out;
      signals.answer_ready.clear();
      using namespace net::experimental::awaitable_operators;
      co_await (signals.answer_ready.wait() || signals.interrupt.wait() ||
                velmora::base::sleep_for(left));
    }
  }

  /// finished: the turn ended early with its own frames; gone: the connection went.
  enum class Outcome { done, interrupted, finished, gone };

  awaitable<Outcome> play(const Step& step) {
    switch (step.kind) {
      case StepKind::send:
        co_return co_await send_object(step.frame) ? Outcome::done : Outcome::gone;
      case StepKind::send_text:
      case StepKind::send_binary:
        output_bytes += step.text.size();
        co_return co_await host.send(step.text, step.kind == StepKind::send_binary,
                                     context.keep_history && step.kind == StepKind::send_text)
            ? Outcome::done
            : Outcome::gone;
      case StepKind::delay:
        co_return co_await pause(step.seconds) ? Outcome::interrupted : Outcome::done;
      case StepKind::wait_answer: {
        const auto waited = co_await wait_answer(step.seconds);
        if (waited == Waited::interrupted) co_return Outcome::interrupted;
        if (waited == Waited::timed_out) {
          context.placeholders["answer"] = "";
          if (step.fail_on_timeout) {
            const boost::json::object error{
                {"type", "error"},
                {"code", "answer_timeout"},
                {"message", "No answer to the question arrived in time."}};
            const bool sent = co_await send_object(error);
            boost::json::object nothing;
            if (sent) co_await send_complete(std::move(nothing));
            co_return Outcome::finished;
          }
        }
        co_return Outcome::done;
      }
      case StepKind::stream: {
        const std::string text = expand_placeholders(step.text, context.placeholders);
        bool first = true;
        for (const auto& piece : split_chunks(text, step.count)) {
          if (!first) {
            const bool interrupted = co_await pause(step.seconds);
            if (interrupted) co_return Outcome::interrupted;
          }
          if (signals.interrupt.is_set()) co_return Outcome::interrupted;
          first = false;
          std::string frame = delta_frame(step.frame_type, piece, step.message_id);
          output_bytes += frame.size();
          if (!co_await host.send(std::move(frame), false, context.keep_history)) {
            co_return Outcome::gone;
          }
        }
        co_return Outcome::done;
      }
      case StepKind::throughput: {
        // Kept as one joined delta: the reader sees the same answer, the history stays small.
        std::string joined;
        Outcome outcome = Outcome::done;
        // A paced stream sleeps every few milliseconds' worth of frames, keeping to its schedule.
        const double rate = step.seconds;
        const std::size_t batch = rate > 0 ? std::max<std::size_t>(1, rate / 200) : 0;
        const double started = velmora::base::monotonic_seconds();
        for (std::size_t i = 0; i < step.count; ++i) {
          if (signals.interrupt.is_set()) {
            outcome = Outcome::interrupted;
            break;
          }
          if (batch > 0 && i % batch == 0) {
            const double due = started + static_cast<double>(i) / rate;
            if (co_await pause(due - velmora::base::monotonic_seconds())) {
              outcome = Outcome::interrupted;
              break;
            }
          }
          std::string delta = throughput_delta(i, step.text);
          std::string frame = delta_frame("text_delta", delta, step.message_id);
          output_bytes += frame.size();
          if (context.keep_history) joined += delta;
          if (!co_await host.send(std::move(frame), false, false)) {
            outcome = Outcome::gone;
            break;
          }
        }
        if (outcome == Outcome::done && step.text == "code") {
          const std::string fence = "```\n";
          if (context.keep_history) joined += fence;
          if (!co_await host.send(delta_frame("text_delta", fence, step.message_id), false, false)) {
            outcome = Outcome::gone;
          }
        }
        if (context.keep_history && !joined.empty()) {
          host.keep(delta_frame("text_delta", joined, step.message_id));
        }
        co_return outcome;
      }
      case StepKind::complete:
        co_return co_await send_complete(step.frame) ? Outcome::done : Outcome::gone;
      case StepKind::drop:
        co_await host.drop();
        co_return Outcome::gone;
      case StepKind::close:
        co_await host.close(step.close_code, step.text);
        co_return Outcome::gone;
      case StepKind::stall:
        co_await host.stall();
        co_return Outcome::gone;
      case StepKind::oversized: {
        std::string big = oversized_frame(step.count);
        co_return co_await host.send(std::move(big), false, false) ? Outcome::done : Outcome::gone;
      }
    }
    co_return Outcome::done;
  }
};

}  // namespace

std::string oversized_frame(std::size_t bytes) {
  const std::size_t shell = delta_frame("text_delta", "", "oversized").size();
  return delta_frame("text_delta", std::string(bytes > shell ? bytes - shell : 0, 'x'),
                     "oversized");
}

std::string throughput_delta(std::size_t index, std::string_view shape) {
  std::string delta = "token" + std::to_string(index);
  if (shape == "code") {
    // One fenced block of 100-byte lines; the runner closes the fence after the last.
    while (delta.size() + 6 <= 99) delta += " words";
    delta.resize(99, ' ');
    delta += '\n';
    return index == 0 ? "```text\n" + delta : delta;
  }
  if (shape == "unbroken" || shape == "paragraphs") {
    // 100 bytes: the token, filler words, and the two bytes that end it.
    while (delta.size() + 6 <= 98) delta += " words";
    delta.resize(98, ' ');
    delta += shape == "paragraphs" ? "\n\n" : "  ";
    return delta;
  }
  delta += index % 16 == 15 ? "\n\n" : " ";
  return delta;
}

awaitable<void> run_turn(TurnHost& host, TurnSignals& signals, Steps steps, TurnContext context) {
  Runner runner{host, signals, std::move(context)};
  bool interrupted = false;
  for (const auto& step : steps) {
    auto outcome = Runner::Outcome::interrupted;
    if (!signals.interrupt.is_set()) outcome = co_await runner.play(step);
    if (outcome == Runner::Outcome::gone || outcome == Runner::Outcome::finished) co_return;
    if (outcome == Runner::Outcome::interrupted) {
      interrupted = true;
      break;
    }
  }
  if (!interrupted || signals.stopping) co_return;
  // Interrupted: the turn ends at once with its own "complete".
  boost::json::object status{{"status", "interrupted"}};
  co_await runner.send_complete(std::move(status));
}

}  // namespace velmora::agent_sim
