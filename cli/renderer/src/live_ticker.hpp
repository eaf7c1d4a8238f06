// A steady-rate timer on the event loop that redraws the live lines.
//
// Lifetime: the ticker owns nothing of its user; `stop()` (also run by the destructor) makes
// sure the callback is never called again, even if the timer's coroutine resumes later.
#pragma once

#include <functional>
#include <memory>

#include <boost/asio/any_io_executor.hpp>

namespace velmora::renderer {

class LiveTicker {
 public:
  LiveTicker(boost::asio::any_io_executor executor, double period_seconds,
             std::function<void()> on_tick);
  ~LiveTicker();
  LiveTicker(const LiveTicker&) = delete;
  LiveTicker& operator=(const LiveTicker&) = delete;

  void start();
  void stop();
  [[nodiscard]] bool running() const noexcept;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velmora::renderer
