// Code blocks coloured on the worker pool while the event loop goes on.
//
// Each job's result comes back on the loop through its `done`, exactly once: with the colours,
// or with nothing when the job failed or outlived its wait (its block then prints plain).
// `finish` waits on the loop thread for the jobs still running, each at most until its deadline.
//
// Threading: built and used on the loop thread; only the jobs run on workers.
//
//   HighlightJobs jobs(io.get_executor(), 2.0);
//   jobs.start([code] { return colour(code); }, [](auto colours) { print(colours); });
//   jobs.finish();  // the end of a turn
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

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
  /// Blocks until every started job has delivered, in the order they were started.
  void finish();
  [[nodiscard]] bool busy() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmora::renderer
