#include "highlight_jobs.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <utility>
#include <variant>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "velmora/base/async.hpp"

namespace velmora::renderer {
namespace {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

net::awaitable<void> join_all(std::vector<base::Task> tasks) {
  for (const base::Task& task : tasks) co_await task.join();
}

}  // namespace

struct HighlightJobs::State {
  net::any_io_executor loop;
  Clock::duration wait;
  std::uint64_t next_id = 1;
  /// The jobs not yet delivered.
  std::map<std::uint64_t, base::Task> running;

  /// Job `id` on a worker, raced against its deadline; its outcome goes to `done` unless the
  /// jobs' owner is gone by then.
  static base::awaitable<void> run(std::weak_ptr<State> owner, std::uint64_t id, Job job, Done done,
                                   Clock::time_point deadline) {
    using namespace net::experimental::awaitable_operators;
    auto colour = [job = std::move(job)]() -> std::optional<Result> {
      try {
        return job();
      } catch (...) {
        // A job that fails (the expressions' complexity limit, memory) leaves its blocks plain:
        // the answer matters more than its colours.
        return std::nullopt;
      }
    };
    net::steady_timer late(co_await net::this_coro::executor, deadline);
    auto outcome =
        co_await (base::run_blocking(std::move(colour)) || late.async_wait(net::use_awaitable));
    std::optional<Result> result;
    if (outcome.index() == 0) result = std::move(std::get<0>(outcome));
    const auto state = owner.lock();
    if (!state) co_return;
    state->running.erase(id);
    done(std::move(result));
  }
};

HighlightJobs::HighlightJobs(net::any_io_executor loop, double wait_seconds)
    : state_(std::make_shared<State>()) {
  state_->loop = std::move(loop);
  state_->wait = base::seconds_to_duration(wait_seconds);
}

HighlightJobs::~HighlightJobs() {
  for (auto& [id, task] : std::exchange(state_->running, {})) task.cancel();
}

void HighlightJobs::start(Job job, Done done) {
  const std::uint64_t id = state_->next_id++;
  const Clock::time_point deadline = Clock::now() + state_->wait;
  state_->running.emplace(
      id, base::Task::spawn(state_->loop,
                            State::run(state_, id, std::move(job), std::move(done), deadline)));
}

net::awaitable<void> HighlightJobs::finished() {
  // Taken now, not when the caller first resumes: jobs started later are not waited for.
  std::vector<base::Task> started;
  started.reserve(state_->running.size());
  for (const auto& [id, task] : state_->running) started.push_back(task);
  return join_all(std::move(started));
}

bool HighlightJobs::busy() const { return !state_->running.empty(); }

}  // namespace velmora::renderer
