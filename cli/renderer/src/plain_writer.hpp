// The plain output for subprocesses and chat gateways (IM profile): no escape codes of its own,
// no live lines, Markdown passed through as it came. Tool traffic is left out except failures;
// a one-shot run's answer is held until flush_deferred, so the reader gets it whole.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "answer_stream.hpp"
#include "velmora/events/answer_texts.hpp"
#include "velmora/renderer/stream_renderer.hpp"
#include "writer.hpp"

namespace velmora::renderer {

class PlainWriter final : public Writer {
 public:
  PlainWriter(const RendererOptions& options, std::shared_ptr<term::Console> console);

  Scrollback& out() override { return out_; }
  [[nodiscard]] int width() const override;
  [[nodiscard]] bool styled() const override { return false; }

  void answer_delta(const std::string& key, const std::string& delta, bool historical) override;
  void answer(const std::string& key, const std::string& content, bool historical) override;
  void nested(const events::AgentEvent& event, bool historical) override;
  void question(const events::AgentEvent& event) override;
  void plan(const std::vector<PlanItem>& plan, const std::vector<PlanItem>& before,
            bool new_plan) override;
  [[nodiscard]] std::vector<Line> asked_lines(std::vector<std::string> questions,
                                              const AnswerPairs& answers) override;
  [[nodiscard]] std::vector<Line> thinking_body(const ThinkingBlock& block) override;

  // Left out of plain output: live status, commentary, steps, tool calls, the turn summary,
  // topics and the connection's end (the session reports that).
  void activity(std::string_view) override {}
  void commentary(const std::string&) override {}
  void step(const events::AgentEvent&, bool) override {}
  void tool(const events::AgentEvent&, bool) override {}
  void turn_complete(const events::AgentEvent&) override {}
  void connection_lost(const events::AgentEvent&) override {}
  void topic(const events::AgentEvent&) override {}
  void replay_boundary() override {}
  void set_live_status_enabled(bool) override {}
  void suspend_status() override {}

  void end_turn() override;
  void start_turn() override;
  void begin_replay() override;
  void flush_deferred() override;

 private:
  AnswerStream& stream_for(const std::string& key);
  void defer(const std::string& key, const std::string& text, bool whole);
  void write(const std::string& key, const std::string& text);
  void close_line();

  bool one_shot_;
  Scrollback out_;
  std::map<std::string, AnswerStream> streams_;
  /// One-shot runs: answer text per message, written once by flush_deferred.
  events::AnswerTexts deferred_;
  /// The message whose text was written last, and whether its line is open.
  std::optional<std::string> open_message_;
  bool line_open_ = false;
};

}  // namespace velmora::renderer
