#include "signal_pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>

namespace velmora::term::detail {
namespace {

int g_pipe[2] = {-1, -1};

struct Watch {
  int count = 0;
  struct sigaction previous {};
};

std::mutex& watch_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<int, Watch>& watches() {
  static std::map<int, Watch> table;
  return table;
}

void on_signal(int signo) {
  const int saved_errno = errno;
  const auto byte = static_cast<unsigned char>(signo);
  // A full pipe drops the byte: the loop already has a wake-up pending.
  [[maybe_unused]] const auto n = ::write(g_pipe[1], &byte, 1);
  errno = saved_errno;
}

void ensure_pipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      g_pipe[0] = g_pipe[1] = -1;
    }
  });
}

}  // namespace

int signal_pipe_fd() {
  ensure_pipe();
  return g_pipe[0];
}

void watch_signal(int signo) {
  ensure_pipe();
  if (g_pipe[1] < 0) return;
  std::lock_guard lock(watch_mutex());
  Watch& watch = watches()[signo];
  if (watch.count++ > 0) return;
  struct sigaction ours {};
  ours.sa_handler = on_signal;
  sigemptyset(&ours.sa_mask);
  ours.sa_flags = SA_RESTART;
  ::sigaction(signo, &ours, &watch.previous);
}

void unwatch_signal(int signo) {
  std::lock_guard lock(watch_mutex());
  auto found = watches().find(signo);
  if (found == watches().end() || found->second.count == 0) return;
  if (--found->second.count > 0) return;
  ::sigaction(signo, &found->second.previous, nullptr);
  watches().erase(found);
}

}  // namespace velmora::term::detail
