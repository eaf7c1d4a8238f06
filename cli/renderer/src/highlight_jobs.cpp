#include "highlight_jobs.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "velmora/base/async.hpp"

namespace velmora::renderer {
namespace {

namespace net = boost::asio;
using Clock = std::chrono::steady_clock;

/// Where a worker leaves a job's result for the loop.
struct Slot {
  std::mutex mutex;
  std::condition_variable ready;
  bool finished = false;
  std::optional<HighlightJobs::Result> result;
};

struct Pending {
  std::uint64_t id = 0;
  std::shared_ptr<Slot> slot;
  HighlightJobs::Done done;
  Clock::time_point deadline;
  std::unique_ptr<net::steady_timer> timer;
};

/// The loop as the workers reach it: gone once the jobs' owner is, so a worker finishing late
/// never posts to a loop that may no longer exist.
struct Link {
  std::mutex mutex;
  bool alive = true;
  net::any_io_executor loop;
};

}  // namespace

struct HighlightJobs::State {
  std::shared_ptr<Link> link = std::make_shared<Link>();
  net::any_io_executor loop;
  Clock::duration wait;
  std::uint64_t next_id = 1;
  std::deque<Pending> pending;

  /// Hands job `id`'s result (nothing if it has not finished) to its `done`, once.
  void deliver(std::uint64_t id) {
    const auto it =
        std::find_if(pending.begin(), pending.end(), [id](const Pending& p) { return p.id == id; });
    if (it == pending.end()) return;
    Pending job = std::move(*it);
    pending.erase(it);
    std::optional<Result> result;
    {
      const std::lock_guard lock(job.slot->mutex);
      if (job.slot->finished) result = std::move(job.slot->result);
    }
    job.done(std::move(result));
  }
};

HighlightJobs::HighlightJobs(net::any_io_executor loop, double wait_seconds)
    : state_(std::make_shared<State>()) {
  state_->link->loop = loop;
  state_->loop = std::move(loop);
  state_->wait = base::seconds_to_duration(wait_seconds);
}

HighlightJobs::~HighlightJobs() {
  const std::lock_guard lock(state_->link->mutex);
  state_->link->alive = false;
}

void HighlightJobs::start(Job job, Done done) {
  const std::uint64_t id = state_->next_id++;
  auto slot = std::make_shared<Slot>();
  Pending pending{.id = id,
                  .slot = slot,
                  .done = std::move(done),
                  .deadline = Clock::now() + state_->wait,
                  .timer = std::make_unique<net::steady_timer>(state_->loop)};
  const std::weak_ptr<State> weak = state_;
  pending.timer->expires_at(pending.deadline);
  pending.timer->async_wait([weak, id](const boost::system::error_code& ec) {
    if (ec) return;  // the job delivered first and dropped its timer
    if (const auto state = weak.lock()) state->deliver(id);
  });
  state_->pending.push_back(std::move(pending));
  net::post(base::worker_pool(), [slot, job = std::move(job), link = state_->link, weak, id] {
    std::optional<Result> result;
    try {
      result = job();
    } catch (...) {
      // A job that fails (the expressions' complexity limit, memory) leaves its blocks plain:
      // the answer matters more than its colours.
      result.reset();
    }
    {
      const std::lock_guard lock(slot->mutex);
      slot->finished = true;
      slot->result = std::move(result);
    }
    slot->ready.notify_all();
    const std::lock_guard lock(link->mutex);
    if (!link->alive) return;
    net::post(link->loop, [weak, id] {
      if (const auto state = weak.lock()) state->deliver(id);
    });
  });
}

void HighlightJobs::finish() {
  while (!state_->pending.empty()) {
    const Pending& head = state_->pending.front();
    {
      std::unique_lock lock(head.slot->mutex);
      head.slot->ready.wait_until(lock, head.deadline, [&] { return head.slot->finished; });
    }
    state_->deliver(head.id);
  }
}

bool HighlightJobs::busy() const { return !state_->pending.empty(); }

}  // namespace velmora::renderer
