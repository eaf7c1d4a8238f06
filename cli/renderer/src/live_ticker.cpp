#include "live_ticker.hpp"

#include <algorithm>

#include "velmora/base/async.hpp"

namespace velmora::renderer {
namespace {

/// A period of 0 means "redraw on every event"; the ticker itself must still sleep.
constexpr double MIN_PERIOD_SECONDS = 0.02;

}  // namespace

struct LiveTicker::State {
  boost::asio::any_io_executor executor;
  double period;
  std::function<void()> on_tick;
  velmora::base::Task task;
  /// Bumped on every start/stop; a loop whose generation is stale ends without calling back.
  unsigned generation = 0;
  bool running = false;
};

namespace {

velmora::base::awaitable<void> tick_loop(std::shared_ptr<LiveTicker::State> state,
                                         unsigned generation) {
  while (state->running && state->generation == generation) {
    co_await velmora::base::sleep_for(state->period);
    if (!state->running || state->generation != generation) break;
    state->on_tick();
  }
}

}  // namespace

LiveTicker::LiveTicker(boost::asio::any_io_executor executor, double period_seconds,
                       std::function<void()> on_tick)
    : state_(std::make_shared<State>()) {
  state_->executor = std::move(executor);
  state_->period = std::max(period_seconds, MIN_PERIOD_SECONDS);
  state_->on_tick = std::move(on_tick);
}

LiveTicker::~LiveTicker() { stop(); }

void LiveTicker::start() {
  if (state_->running) return;
  state_->running = true;
  ++state_->generation;
  state_->task =
      velmora::base::Task::spawn(state_->executor, tick_loop(state_, state_->generation));
}

void LiveTicker::stop() {
  if (!state_->running) return;
  state_->running = false;
  ++state_->generation;
  state_->task.cancel();
}

bool LiveTicker::running() const noexcept { return state_->running; }

}  // namespace velmora::renderer
