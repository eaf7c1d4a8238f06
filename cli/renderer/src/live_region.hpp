// The terminal's live lines under the scrollback: output waiting for its colours, the growing
// answer block, the sticky plan and the status line (spinner, current step, elapsed time), in
// that order. Drawn only on a colour terminal with a live display; redrawn by a ticker while the
// status shows or a redraw of the growing block is due.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "collection_plan.hpp"
#include "live_ticker.hpp"
#include "text_layout.hpp"
#include "velmora/term/console.hpp"
#include "velmora/term/live_display.hpp"

namespace velmora::renderer {

class LiveRegion {
 public:
  struct Setup {
    term::Console* console = nullptr;
    std::shared_ptr<term::LiveDisplay> display;
    std::optional<boost::asio::any_io_executor> executor;
    double tick_seconds = 0.1;
    std::function<double()> now;
    std::function<int()> width;
  };

  explicit LiveRegion(Setup setup);
  ~LiveRegion();
  LiveRegion(const LiveRegion&) = delete;
  LiveRegion& operator=(const LiveRegion&) = delete;

  /// Live lines can be drawn at all.
  [[nodiscard]] bool capable() const;
  /// Called on a tick while a redraw of the growing block is due (`preview_dirty`).
  void set_preview_redraw(std::function<void()> redraw);

  // ---- status line
  void note_activity(std::string_view label);
  void suspend_status();
  void set_enabled(bool enabled);
  /// A turn starts: "Thinking…" from now.
  void start_turn();
  void end_turn();

  // ---- sticky plan
  /// Shows `plan` live, or nothing for an absent one.
  void show_plan(std::optional<std::vector<PlanItem>> plan);
  [[nodiscard]] bool plan_shown() const noexcept { return plan_.has_value(); }

  /// Sends the lines to the display when they changed; starts or stops the ticker.
  void refresh();

  /// The last lines of printed output waiting behind a block being coloured, shown plain above
  /// the growing block.
  void show_waiting(std::vector<Line> lines);

  // The growing block, maintained by the answer writer.
  std::vector<Line> preview;
  bool preview_dirty = false;
  double preview_drawn_at = -1e9;

 private:
  [[nodiscard]] bool status_shown() const;
  void tick();

  Setup setup_;
  std::unique_ptr<LiveTicker> ticker_;
  std::function<void()> redraw_preview_;
  bool enabled_ = true;
  bool turn_active_ = false;
  /// Hidden until the next sign of activity (interrupt, question, replay).
  bool status_suspended_ = false;
  double turn_started_ = 0;
  std::string status_label_;
  std::optional<std::vector<PlanItem>> plan_;
  std::vector<std::string> sent_;
  /// Drawn once per change (and width), not on every refresh: a refresh comes with each delta.
  std::vector<Line> waiting_;
  std::vector<std::string> waiting_drawn_;
  int waiting_columns_ = -1;
};

}  // namespace velmora::renderer
