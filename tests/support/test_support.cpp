#include "test_support.hpp"

#include "output_log.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace velmora::testing {
namespace {

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string> build_environment(const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  if (options.clean_env) {
    if (const char* path = std::getenv("PATH")) env["PATH"] = path;
  } else {
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const auto eq = entry.find('=');
      if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      env[name] = *value;
    } else {
      env.erase(name);
    }
  }
  std::vector<std::string> out;
  out.reserve(env.size());
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is available; false on end of output.
bool drain(int fd, std::string& into) {
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return true;  // EAGAIN: nothing more for now
  }
}

pid_t spawn(const std::string& program, const ProcessOptions& options, int& in_fd, int& out_fd,
            int& err_fd) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> args;
  args.push_back(program);
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto env_strings = build_environment(options);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string cwd = options.cwd.string();

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::setpgid(0, 0);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::execvpe(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  in_fd = in_pipe[1];
  out_fd = out_pipe[0];
  err_fd = err_pipe[0];
  set_nonblocking(out_fd);
  set_nonblocking(err_fd);
  return pid;
}

void fill_status(ProcessResult& result, int status) {
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
}

}  // namespace

ProcessResult run_process(const std::string& program, const ProcessOptions& options) {
  ChildProcess child(program, options);
  if (!options.stdin_data.empty()) child.write_stdin(options.stdin_data);
  child.close_stdin();
  return child.wait(options.timeout_seconds);
}

ChildProcess::ChildProcess(const std::string& program, const ProcessOptions& options) {
  ::signal(SIGPIPE, SIG_IGN);
  capture_ = std::make_unique<OutputCapture>(program);
  pid_ = spawn(program, options, in_fd_, out_fd_, err_fd_);
}

ChildProcess::~ChildProcess() {
  if (!result_ && pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    // What it printed before the kill still belongs in the output log.
    pump(1.0, false);
  }
  for (int fd : {in_fd_, out_fd_, err_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

void ChildProcess::pump(double timeout_seconds, bool until_line) {
  const double deadline = now_seconds() + timeout_seconds;
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    if (until_line && out_.find('\n') != std::string::npos) return;
    const double left = deadline - now_seconds();
    if (left <= 0) return;
    pollfd fds[2];
    int count = 0;
    if (out_fd_ >= 0) fds[count++] = pollfd{out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[count++] = pollfd{err_fd_, POLLIN, 0};
    const int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno != EINTR) return;
    const auto out_before = out_.size();
    const auto err_before = err_.size();
    const bool out_open = out_fd_ >= 0 && drain(out_fd_, out_);
    const bool err_open = err_fd_ >= 0 && drain(err_fd_, err_);
    capture_->append(1, std::string_view(out_).substr(out_before));
    capture_->append(2, std::string_view(err_).substr(err_before));
    if (out_fd_ >= 0 && !out_open) {
      ::close(out_fd_);
      out_fd_ = -1;
    }
    if (err_fd_ >= 0 && !err_open) {
      ::close(err_fd_);
      err_fd_ = -1;
    }
  }
}

std::optional<std::string> ChildProcess::read_line(double timeout_seconds) {
  pump(timeout_seconds, true);
  const auto nl = out_.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  std::string line = out_.substr(0, nl);
  out_.erase(0, nl + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void ChildProcess::write_stdin(const std::string& data) {
  std::string_view rest(data);
  while (!rest.empty() && in_fd_ >= 0) {
    const ssize_t n = ::write(in_fd_, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

void ChildProcess::close_stdin() {
  if (in_fd_ >= 0) {
    ::close(in_fd_);
    in_fd_ = -1;
  }
}

void ChildProcess::send_signal(int signal) {
  if (pid_ > 0 && !result_) ::kill(pid_, signal);
}

ProcessResult ChildProcess::wait(double timeout_seconds) {
  if (result_) return *result_;
  const double deadline = now_seconds() + timeout_seconds;
  ProcessResult result;
  int status = 0;
  while (true) {
    pump(0.05, false);
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (now_seconds() > deadline) {
      result.timed_out = true;
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
  }
  pump(2.0, false);
  fill_status(result, status);
  result.out = out_;
  result.err = err_;
  result_ = result;
  return result;
}

TempDir::TempDir() {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = base / ("velmora-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

void ScopedEnv::remember(const std::string& name) {
  if (saved_.count(name) != 0) return;
  const char* old = std::getenv(name.c_str());
  saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  remember(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  ::unsetenv(name.c_str());
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace velmora::testing
