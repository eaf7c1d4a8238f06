#pragma once

// A piece of work raced against a time limit. Kept out of async.hpp: the awaitable operators
// are heavy to compile, and only the few races include this.
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <optional>
#include <utility>

#include "velmora/base/async.hpp"

namespace velmora::base {

/// The time-limit side of a race: true once `seconds` have passed, false when cancelled first.
/// It does not throw: it is cancelled every time the work wins, and an exception would unwind
/// through every coroutine frame of the race.
awaitable<bool> time_limit(double seconds);

/// `work`'s result, or nothing once `seconds` pass first. A cancelled race throws
/// operation_aborted, as the work alone would.
template <typename T>
awaitable<std::optional<T>> within(double seconds, awaitable<T> work) {
  using namespace net::experimental::awaitable_operators;
  auto outcome = co_await (std::move(work) || time_limit(seconds));
  if (outcome.index() == 0) co_return std::move(std::get<0>(outcome));
  if (!std::get<1>(outcome)) throw boost::system::system_error(net::error::operation_aborted);
  co_return std::nullopt;
}

/// The same for work without a result: true when it finished in time.
inline awaitable<bool> within(double seconds, awaitable<void> work) {
  using namespace net::experimental::awaitable_operators;
  const auto outcome = co_await (std::move(work) || time_limit(seconds));
  if (outcome.index() == 0) co_return true;
  if (!std::get<1>(outcome)) throw boost::system::system_error(net::error::operation_aborted);
  co_return false;
}

}  // namespace velmora::base
