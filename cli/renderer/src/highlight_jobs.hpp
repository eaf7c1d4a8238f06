// Code blocks coloured on the worker pool while the event loop goes on.
//
// Each job's result comes back on the loop through its `done`, exactly once: with the colours,
// or with nothing when the job failed or outlived its wait (its block then prints plain; what the
// worker makes after that is dropped). Nothing here blocks the loop: the end of a turn awaits
// `finished`, and the loop serves timers, signals and sockets meanwhile.
//
// Threading: built and used on the loop thread; only the jobs run on workers, handed over and
// back by base::run_blocking.
//
//   HighlightJobs jobs(io.get_executor(), 2.0);
//   jobs.start([code] { return colour(code); }, [](auto colours) { print(colours); });
//   co_await jobs.finished();  // the end of a turn
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "text_layout.hpp"

namespace velmora::renderer {

class HighlightJobs {
 public:
  /// The coloured lines of each block a job was given; nothing for a block left plain.
  using Result = std::vector<std::optional<std::vector<Line>>>;
  using Job = std::function<Result()>;
  using Done = std::function<void(std::optional<Result>)>;

  HighlightJobs(boost::asio::any_io_executor loop, double wait_seconds);
  /// Jobs still running are forgotten: their `done` is not called.
  ~HighlightJobs();
  HighlightJobs(const HighlightJobs&) = delete;
  HighlightJobs& operator=(const HighlightJobs&) = delete;

  void start(Job job, Done done);
  /// Returns once every job started before the call has delivered, each by its own deadline at
  /// the latest. A cancelled wait ends with operation_aborted and leaves the jobs running.
  boost::asio::awaitable<void> finished();
  [[nodiscard]] bool busy() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmora::renderer
