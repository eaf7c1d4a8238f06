#include "bench_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velmora::bench {
namespace {

using Clock = std::chrono::steady_clock;

/// Enough of the output's end to find the answer's last token in it.
constexpr std::size_t TAIL_BYTES = 4096;

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double cpu_millis(const rusage& usage) {
  const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Reads `fd` until the writer's end is gone; a pseudo-terminal's master reports that as EIO.
void drain(int fd, RunResult& result, Clock::time_point deadline, pid_t child) {
  char buffer[65536];
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      throw std::runtime_error("the client did not finish in time");
    }
    pollfd waiting{fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(std::min<long>(left.count(), 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    result.output_bytes += static_cast<std::size_t>(got);
    result.output_tail.append(buffer, static_cast<std::size_t>(got));
    if (result.output_tail.size() > 2 * TAIL_BYTES) {
      result.output_tail.erase(0, result.output_tail.size() - TAIL_BYTES);
    }
  }
}

}  // namespace

Sandbox::Sandbox() {
  char pattern[] = "/tmp/velmora-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  const char* path = std::getenv("PATH");
  env_ = {"PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"), "HOME=" + dir_.string(),
          "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
          "XDG_STATE_HOME=" + (dir_ / "state").string(), "LANG=C.UTF-8"};
}

Sandbox::~Sandbox() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

pid_t Sandbox::spawn(const std::vector<std::string>& argv, int out_fd, int err_fd, bool terminal,
                     int in_fd) const {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env = env_;
  if (terminal) env.emplace_back("TERM=xterm-256color");
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

RunResult Sandbox::run(const std::vector<std::string>& argv, Output output,
                       double limit_seconds) const {
  Fd reader;
  Fd writer;
  if (output == Output::pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    reader.reset(fds[0]);
    writer.reset(fds[1]);
  } else if (output == Output::terminal) {
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
      throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    }
    reader.reset(master);
    writer.reset(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  }

  RunResult result;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(limit_seconds));
  const pid_t pid = spawn(argv, writer.get(), -1, output == Output::terminal);
  // Only the child may hold the writing end, so its exit ends the reading.
  writer.reset();
  if (reader.get() >= 0) drain(reader.get(), result, deadline, pid);

  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.wall_ms = millis(Clock::now() - start);
  result.cpu_ms = cpu_millis(usage);
  result.peak_rss_kib = usage.ru_maxrss;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

Simulator::Simulator(const Sandbox& sandbox, std::vector<std::string> args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  Fd reader(fds[0]);
  Fd writer(fds[1]);
  const auto log_path = sandbox.dir() / "sim.log";
  Fd log(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  std::vector<std::string> argv = {beside_self("../tools/agent-sim/velmora-agent-sim"), "--port",
                                   "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = sandbox.spawn(argv, writer.get(), log.get(), false);
  writer.reset();

  // The first line is the port; the few address lines after it fit in the pipe unread.
  std::string line;
  char ch = 0;
  while (::read(reader.get(), &ch, 1) == 1 && ch != '\n') line.push_back(ch);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    std::ifstream file(log_path);
    std::stringstream text;
    text << file.rdbuf();
    throw std::runtime_error("the simulator reported no port: " + text.str());
  }
  // Kept open (not read) so a later address line never meets a closed pipe.
  out_fd_ = ::dup(reader.get());
}

Simulator::~Simulator() {
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  if (out_fd_ >= 0) ::close(out_fd_);
}

std::string Simulator::ws_url() const {
  return "ws://127.0.0.1:" + std::to_string(port_) + "/ws/v3";
}

std::string Simulator::http_url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::filesystem::path beside_self(const std::filesystem::path& relative) {
  return std::filesystem::canonical("/proc/self/exe").parent_path() / relative;
}

std::string velmora_program() {
  if (const char* installed = std::getenv("VELMORA_BENCH_PROGRAM"); installed && *installed)
    return installed;
  return VELMORA_BIN;
}

std::vector<std::string> client_command(const Simulator& sim) {
  return {velmora_program(), "--url", sim.ws_url(), "--user-id", "bench", "--token", "bench-token"};
}

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace velmora::bench
