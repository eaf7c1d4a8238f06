#include "velmora/platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "velmora/base/errors.hpp"
#include "velmora/platform/env.hpp"

extern char** environ;

namespace velmora::platform {
namespace {

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

std::vector<char*> to_argv(std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

// Appends what is readable; false once the pipe reached its end.
bool drain(int fd, std::string& into) {
  char buf[16384];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return true;
  }
}

}  // namespace

std::optional<std::filesystem::path> find_on_path(const std::string& name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (::access(name.c_str(), X_OK) == 0) return std::filesystem::path(name);
    return std::nullopt;
  }
  const std::string path = get_env("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto end = path.find(':', start);
    const std::string dir =
        path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // Not `dir = "."`: g++ 12 at -O3 reports a false -Wrestrict on that assignment.
    const std::filesystem::path folder(dir.empty() ? std::string(".") : dir);
    const std::filesystem::path candidate = folder / name;
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec) && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> current_executable() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return path;
}

CaptureResult run_capture(const std::vector<std::string>& argv, const CaptureOptions& options) {
  if (argv.empty()) throw velmora::base::FileNotFoundError("No program given");
  const auto program = find_on_path(argv[0]);
  if (!program) {
    throw velmora::base::FileNotFoundError("No such file or directory: '" + argv[0] + "'");
  }
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) throw velmora::base::OSError(std::strerror(errno), errno);
  Fd in_r{in_pipe[0]}, in_w{in_pipe[1]};
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw velmora::base::OSError(std::strerror(errno), errno);
  Fd out_r{out_pipe[0]}, out_w{out_pipe[1]};
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) throw velmora::base::OSError(std::strerror(errno), errno);
  Fd err_r{err_pipe[0]}, err_w{err_pipe[1]};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdin_data) {
    posix_spawn_file_actions_adddup2(&actions, in_r.fd, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out_w.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_w.fd, 2);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());

  std::vector<std::string> args = argv;
  auto cargv = to_argv(args);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program->c_str(), &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    if (rc == ENOENT) {
      throw velmora::base::FileNotFoundError(std::string(std::strerror(rc)) + ": '" + argv[0] +
                                             "'");
    }
    throw velmora::base::OSError(std::string(std::strerror(rc)) + ": '" + argv[0] + "'", rc);
  }
  in_r.reset();
  out_w.reset();
  err_w.reset();
  if (options.stdin_data) {
    // Small inputs only; a child that does not read them must not block us.
    ::fcntl(in_w.fd, F_SETFL, ::fcntl(in_w.fd, F_GETFL) | O_NONBLOCK);
    const std::string& data = *options.stdin_data;
    (void)!::write(in_w.fd, data.data(), data.size());
  }
  in_w.reset();
  ::fcntl(out_r.fd, F_SETFL, ::fcntl(out_r.fd, F_GETFL) | O_NONBLOCK);
  ::fcntl(err_r.fd, F_SETFL, ::fcntl(err_r.fd, F_GETFL) | O_NONBLOCK);

  CaptureResult result;
  const double deadline = options.timeout_seconds ? now_seconds() + *options.timeout_seconds : 0;
  while (out_r.fd >= 0 || err_r.fd >= 0) {
    int wait_ms = -1;
    if (options.timeout_seconds) {
      const double left = deadline - now_seconds();
      if (left <= 0) {
        result.timed_out = true;
        ::kill(pid, SIGKILL);
        break;
      }
      wait_ms = static_cast<int>(left * 1000) + 1;
    }
    pollfd fds[2];
    nfds_t count = 0;
    if (out_r.fd >= 0) fds[count++] = pollfd{out_r.fd, POLLIN, 0};
    if (err_r.fd >= 0) fds[count++] = pollfd{err_r.fd, POLLIN, 0};
    if (::poll(fds, count, wait_ms) < 0 && errno != EINTR) break;
    if (out_r.fd >= 0 && !drain(out_r.fd, result.out)) out_r.reset();
    if (err_r.fd >= 0 && !drain(err_r.fd, result.err)) err_r.reset();
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

bool spawn_detached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  const auto program = find_on_path(argv[0]);
  if (!program) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::vector<std::string> args = argv;
  auto cargv = to_argv(args);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program->c_str(), &actions, &attr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  // Reap it in the background so it never lingers as a zombie of a long session.
  std::thread([pid] {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }).detach();
  return true;
}

}  // namespace velmora::platform
