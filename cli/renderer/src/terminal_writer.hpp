// The terminal output: Markdown answers a block at a time, tool and nested-agent call lines,
// the plan (sticky in the live region when asked for), a dim summary line per turn, and the
// live region for what is still going on.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "answer_writer.hpp"
#include "live_region.hpp"
#include "tool_writer.hpp"
#include "velmora/renderer/stream_renderer.hpp"
#include "writer.hpp"

namespace velmora::renderer {

class TerminalWriter final : public Writer {
 public:
  TerminalWriter(const RendererOptions& options, std::shared_ptr<term::Console> console,
                 std::function<double()> now);
  ~TerminalWriter() override;
  TerminalWriter(const TerminalWriter&) = delete;
  TerminalWriter& operator=(const TerminalWriter&) = delete;

  Scrollback& out() override { return out_; }
  [[nodiscard]] int width() const override;
  [[nodiscard]] bool styled() const override { return true; }

  void activity(std::string_view label) override;
  void answer_delta(const std::string& key, const std::string& delta, bool historical) override;
  void answer(const std::string& key, const std::string& content, bool historical) override;
  void commentary(const std::string& text) override;
  void step(const events::AgentEvent& event, bool historical) override;
  void tool(const events::AgentEvent& event, bool historical) override;
  void nested(const events::AgentEvent& event, bool historical) override;
  void question(const events::AgentEvent& event) override;
  [[nodiscard]] std::vector<Line> asked_lines(std::vector<std::string> questions,
                                              const AnswerPairs& answers) override;
  void plan(const std::vector<PlanItem>& plan, const std::vector<PlanItem>& before,
            bool new_plan) override;
  void turn_complete(const events::AgentEvent& event) override;
  void turn_error() override { turn_had_error_ = true; }
  void interrupt_sent() override;
  void connection_lost(const events::AgentEvent& event) override;
  void topic(const events::AgentEvent& event) override;
  void replay_boundary() override;
  [[nodiscard]] std::vector<Line> thinking_body(const ThinkingBlock& block) override;

  void end_turn() override;
  boost::asio::awaitable<void> settle() override;
  void start_turn() override;
  void begin_replay() override;
  void flush_deferred() override;
  void set_live_status_enabled(bool enabled) override;
  void suspend_status() override;

 private:
  [[nodiscard]] bool color() const;
  [[nodiscard]] MarkdownOptions markdown_options() const;
  /// Moves a sticky plan from the live region into the scrollback.
  void commit_plan();
  /// Forgets how the turn went (answer shown, error, interrupt).
  void reset_turn_outcome();

  std::optional<int> fixed_width_;
  std::filesystem::path language_dir_;
  bool sticky_plan_;
  Scrollback out_;
  LiveRegion live_;
  AnswerWriter answers_;
  ToolWriter tools_;
  std::unordered_map<std::string, std::string> step_titles_;
  std::vector<PlanItem> plan_;
  std::function<double()> now_;
  /// When the live turn began (for an interrupted turn whose "complete" has no duration); <0
  /// outside a live turn.
  double turn_started_ = -1;
  /// Answer text of the live turn reached the screen.
  bool answer_shown_ = false;
  bool turn_had_error_ = false;
  bool interrupted_ = false;
  /// The cut answer already carries its "(interrupted)" mark.
  bool cut_marked_ = false;
};

}  // namespace velmora::renderer
