// Signals the Screen reacts to (window size, job control) turned into bytes on a pipe that the
// event loop watches. The handlers restart interrupted system calls, so a blocking read on
// another thread never sees EINTR because the window changed size.
#pragma once

namespace velmora::term::detail {

/// Read end of the process's signal pipe (non-blocking); one byte per signal, its number.
int signal_pipe_fd();

/// Starts / stops routing `signo` to the pipe; calls nest, and the outermost stop puts back the
/// handling that was there before.
void watch_signal(int signo);
void unwatch_signal(int signo);

}  // namespace velmora::term::detail
