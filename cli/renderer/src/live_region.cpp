#include "live_region.hpp"

#include <algorithm>
#include <utility>

#include "live_status.hpp"

namespace velmora::renderer {
namespace {

constexpr std::size_t MAX_LIVE_PLAN_ITEMS = 10;

}  // namespace

LiveRegion::LiveRegion(Setup setup) : setup_(std::move(setup)) {
  if (setup_.executor && capable()) {
    ticker_ =
        std::make_unique<LiveTicker>(*setup_.executor, setup_.tick_seconds, [this] { tick(); });
  }
}

LiveRegion::~LiveRegion() {
  if (ticker_) ticker_->stop();
}

bool LiveRegion::capable() const {
  return setup_.display && setup_.console->color_system() != term::ColorSystem::none;
}

void LiveRegion::set_preview_redraw(std::function<void()> redraw) {
  redraw_preview_ = std::move(redraw);
}

bool LiveRegion::status_shown() const { return turn_active_ && enabled_ && !status_suspended_; }

void LiveRegion::note_activity(std::string_view label) {
  if (!turn_active_) {
    turn_active_ = true;
    turn_started_ = setup_.now();
  }
  status_suspended_ = false;
  if (!label.empty()) status_label_ = std::string(label);
  refresh();
}

void LiveRegion::suspend_status() {
  status_suspended_ = true;
  refresh();
}

void LiveRegion::set_enabled(bool enabled) {
  enabled_ = enabled;
  refresh();
}

void LiveRegion::start_turn() {
  turn_active_ = true;
  turn_started_ = setup_.now();
  status_label_ = std::string(THINKING_LABEL);
  status_suspended_ = false;
  refresh();
}

void LiveRegion::end_turn() {
  turn_active_ = false;
  status_label_.clear();
  refresh();
}

void LiveRegion::show_plan(std::optional<std::vector<PlanItem>> plan) {
  plan_ = std::move(plan);
  refresh();
}

void LiveRegion::refresh() {
  if (!capable()) return;
  const int columns = std::max(setup_.width() - 1, 1);
  const auto colors = setup_.console->color_system();
  if (waiting_columns_ != columns) {
    waiting_columns_ = columns;
    waiting_drawn_.clear();
    for (const auto& line : waiting_) {
      waiting_drawn_.push_back(term::render_segments(truncate_line(line, columns), colors));
    }
  }
  std::vector<std::string> lines = waiting_drawn_;
  for (const auto& line : preview) {
    lines.push_back(term::render_segments(truncate_line(line, columns), colors));
  }
  if (plan_) {
    for (const auto& line : plan_lines(*plan_, columns, MAX_LIVE_PLAN_ITEMS)) {
      lines.push_back(term::render_segments(line, colors));
    }
  }
  if (status_shown()) {
    lines.push_back(term::render_segments(
        status_line(status_label_, setup_.now() - turn_started_, columns), colors));
  }
  if (lines != sent_) {
    sent_ = lines;
    setup_.display->update(lines);
  }
  if (ticker_) {
    if (status_shown() || preview_dirty) {
      ticker_->start();
    } else {
      ticker_->stop();
    }
  }
}

void LiveRegion::show_waiting(std::vector<Line> lines) {
  waiting_ = std::move(lines);
  waiting_columns_ = -1;
  refresh();
}

void LiveRegion::tick() {
  if (preview_dirty && redraw_preview_) {
    redraw_preview_();
  } else {
    refresh();
  }
}

}  // namespace velmora::renderer
