// A user's machine for session runs against the simulator: own home, config and state folders,
// no saved login unless a test makes one, and helpers to run `velmora` in a pipe or in a real
// terminal (tmux).
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "sim_process.hpp"
#include "test_support.hpp"

namespace session_e2e {

using velmora::testing::ProcessOptions;
using velmora::testing::ProcessResult;
using velmora::testing::SimProcess;
using velmora::testing::TempDir;

class SessionMachine {
 public:
  [[nodiscard]] const std::filesystem::path& home() const { return home_.path(); }

  [[nodiscard]] std::map<std::string, std::optional<std::string>> env() const {
    return {{"HOME", home().string()},
            {"XDG_CONFIG_HOME", (home() / "config").string()},
            {"XDG_STATE_HOME", (home() / "state").string()},
            {"VELMORA_OAUTH_BASE_URL", oauth_base_url},
            {"VELMORA_OAUTH_CLIENT_ID", std::nullopt},
            {"VELMORA_AUTH_TOKEN", std::nullopt},
            {"QUILLON_URL", std::nullopt},
            {"QUILLON_USER_ID", std::nullopt},
            {"QUILLON_LANGUAGE", std::nullopt},
            {"QUILLON_SCENARIO", std::nullopt},
            {"QUILLON_FILE_API_URL", std::nullopt},
            {"QUILLON_HIDE_SESSION_DETAILS", std::nullopt},
            {"TERM", "xterm-256color"},
            {"NO_COLOR", std::nullopt}};
  }

  /// Runs velmora with standard input and output on pipes.
  ProcessResult run(std::vector<std::string> args, std::string stdin_data = {},
                    double timeout_seconds = 90) const {
    ProcessOptions options;
    options.args = std::move(args);
    options.cwd = home();
    options.env = env();
    options.stdin_data = std::move(stdin_data);
    options.timeout_seconds = timeout_seconds;
    return velmora::testing::run_process(VELMORA_BIN, options);
  }

  std::optional<std::string> oauth_base_url;

 private:
  TempDir home_;
};

/// The endpoint and identity options for `sim`.
inline std::vector<std::string> session_args(const SimProcess& sim,
                                             std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--url", sim.ws_url(), "--user-id", "u1", "--token", "tok"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

/// The frames the client sent, in order.
inline std::vector<boost::json::object> sent_frames(const SimProcess& sim) {
  std::vector<boost::json::object> frames;
  for (const auto& record : sim.records("ws_frame")) {
    if (const auto* frame = record.if_contains("frame"); frame && frame->is_object()) {
      frames.push_back(frame->get_object());
    }
  }
  return frames;
}

inline std::vector<std::string> sent_types(const SimProcess& sim) {
  std::vector<std::string> types;
  for (const auto& frame : sent_frames(sim)) {
    const auto* type = frame.if_contains("type");
    types.push_back(type && type->is_string() ? std::string(type->get_string()) : "?");
  }
  return types;
}

/// Writes a simulator script into `dir` and returns its path.
inline std::filesystem::path write_script(const std::filesystem::path& dir,
                                          const std::string& text) {
  const auto path = dir / "script.json";
  velmora::testing::write_file(path, text);
  return path;
}

inline std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

/// One tmux server per terminal, removed with it: a real terminal for the interactive shell.
class Terminal {
 public:
  Terminal(const SessionMachine& machine, std::vector<std::string> args,
           std::map<std::string, std::string> extra_env = {}, int width = 120, int height = 40)
      : socket_("velmora-session-" + std::to_string(::getpid()) + "-" + std::to_string(++count_)) {
    // env takes its -u options before the assignments.
    std::string unset;
    std::string assign;
    for (const auto& [name, value] : machine.env()) {
      if (extra_env.contains(name)) continue;
      if (value) {
        assign += " " + name + "=" + shell_quote(*value);
      } else {
        unset += " -u " + name;
      }
    }
    for (const auto& [name, value] : extra_env) assign += " " + name + "=" + shell_quote(value);
    std::string command = "env" + unset + assign;
    command += " " + shell_quote(VELMORA_BIN);
    for (const auto& arg : args) command += " " + shell_quote(arg);
    command += "; echo __exit=$?__; sleep 600";
    started_ = tmux({"new-session", "-d", "-x", std::to_string(width), "-y", std::to_string(height),
                     "-c", machine.home().string(), command})
                   .exit_code == 0;
  }
  ~Terminal() { (void)tmux({"kill-server"}); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  [[nodiscard]] bool started() const { return started_; }

  /// The screen and its scrollback as plain text.
  std::string screen() { return tmux({"capture-pane", "-p", "-J", "-S", "-2000"}).out; }

  /// Waits until the screen shows `text`; the screen at that moment, or nothing.
  std::optional<std::string> wait_for(const std::string& text, double timeout_seconds = 30) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string shown = screen();
      if (shown.find(text) != std::string::npos) return shown;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
  }

  /// Types `text` (literally) and, unless `enter` is false, presses Enter.
  void type(const std::string& text, bool enter = true) {
    if (!text.empty()) (void)tmux({"send-keys", "-l", text});
    if (enter) (void)tmux({"send-keys", "Enter"});
  }
  void keys(const std::string& key_name) { (void)tmux({"send-keys", key_name}); }

  /// The exit status once the program ended.
  std::optional<int> wait_for_exit(double timeout_seconds = 30) {
    const auto shown = wait_for("__exit=", timeout_seconds);
    if (!shown) return std::nullopt;
    const auto at = shown->find("__exit=") + 7;
    return std::stoi(shown->substr(at, shown->find("__", at) - at));
  }

 private:
  ProcessResult tmux(std::vector<std::string> args) {
    args.insert(args.begin(), {"-L", socket_, "-f", "/dev/null"});
    return velmora::testing::run_process("tmux", {.args = args, .timeout_seconds = 30});
  }

  static inline int count_ = 0;
  std::string socket_;
  bool started_ = false;
};

}  // namespace session_e2e
