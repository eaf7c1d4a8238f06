#include "velmora/prompt_ask.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "velmora/base/errors.hpp"

namespace velmora {

namespace {

/// Wakes a worker reading standard input for a prompt that is over. Both ends stay open until
/// the worker is done with them.
struct WakePipe {
  int read_end = -1;
  int write_end = -1;

  WakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw velmora::base::OSError("cannot create a pipe for the prompt", errno);
    }
    read_end = fds[0];
    write_end = fds[1];
  }
  ~WakePipe() {
    ::close(read_end);
    ::close(write_end);
  }
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  void wake() const {
    const char byte = 0;
    // A full pipe already wakes the reader; nothing else can go wrong worth reporting.
    (void)!::write(write_end, &byte, 1);
  }
};

/// The prompts waiting for standard input (touched on the event-loop thread only). Usually one;
/// a question that arrives while the session list waits makes two.
std::vector<WakePipe*> waiting_prompts;

enum class ReadEnd { line, end_of_input, woken };

struct StdinReply {
  ReadEnd end = ReadEnd::end_of_input;
  std::string line;
};

/// One line of `in_fd`, a byte at a time (nothing after the line is taken from whoever reads
/// next), unless `wake_fd` becomes readable first.
StdinReply read_line_unless_woken(int in_fd, int wake_fd) {
  StdinReply reply;
  bool got_any = false;
  for (;;) {
    pollfd fds[2] = {{.fd = wake_fd, .events = POLLIN, .revents = 0},
                     {.fd = in_fd, .events = POLLIN, .revents = 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      reply.end = ReadEnd::woken;
      return reply;
    }
    if (fds[1].revents == 0) continue;
    char c = 0;
    const ssize_t n = ::read(in_fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      break;
    }
    if (n == 0) break;
    got_any = true;
    if (c == '\n') break;
    reply.line += c;
  }
  if (!got_any) return reply;
  while (!reply.line.empty() && (reply.line.back() == '\r' || reply.line.back() == '\n')) {
    reply.line.pop_back();
  }
  reply.end = ReadEnd::line;
  return reply;
}

/// A line of standard input for a prompt that Ctrl+C can end.
velmora::base::awaitable<StdinReply> read_stdin_reply() {
  auto pipe = std::make_shared<WakePipe>();
  waiting_prompts.push_back(pipe.get());
  struct Release {
    std::shared_ptr<WakePipe> pipe;
    ~Release() {
      std::erase(waiting_prompts, pipe.get());
      // A prompt given up (its task cancelled) must not leave a worker reading the keys.
      pipe->wake();
    }
  } release{pipe};
  auto read = [pipe] { return read_line_unless_woken(STDIN_FILENO, pipe->read_end); };
  co_return co_await velmora::base::run_blocking(std::move(read));
}

}  // namespace

bool interrupt_plain_prompt() {
  if (waiting_prompts.empty()) return false;
  for (const WakePipe* pipe : waiting_prompts) pipe->wake();
  waiting_prompts.clear();
  return true;
}

velmora::base::awaitable<std::optional<std::string>> prompt_ask(
    velmora::term::Console& console, std::string_view prompt_markup,
    std::optional<std::string> default_value, BlockingLineReader reader) {
  std::string prompt(prompt_markup);
  if (default_value) {
    prompt += " [bold cyan](" + velmora::term::Console::escape(*default_value) + ")[/bold cyan]";
  }
  console.print(prompt + ": ", "");
  console.flush();
  std::optional<std::string> reply;
  if (reader) {
    reply = co_await velmora::base::run_blocking(std::move(reader));
  } else {
    StdinReply read = co_await read_stdin_reply();
    // The interrupt's own notice ends the prompt line.
    if (read.end == ReadEnd::woken) co_return std::nullopt;
    if (read.end == ReadEnd::line) reply = std::move(read.line);
  }
  if (!reply) {
    // Ends the prompt line the user never finished.
    console.print("");
    co_return std::nullopt;
  }
  if (reply->empty() && default_value) co_return default_value;
  co_return reply;
}

}  // namespace velmora
