// A user's machine for session runs against the simulator: own home, config and state folders,
// no saved login unless a test makes one, and helpers to run `velmora` in a pipe or in a real
// terminal (tmux).
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "sim_process.hpp"
#include "test_support.hpp"
#include "test_tokens.hpp"
#include "tmux_terminal.hpp"

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
    ProcessOptions options = options_for(std::move(args));
    options.stdin_data = std::move(stdin_data);
    options.timeout_seconds = timeout_seconds;
    return velmora::testing::run_process(VELMORA_BIN, options);
  }

  /// Starts velmora with standard input and output on pipes, for a test that talks to it.
  [[nodiscard]] velmora::testing::ChildProcess start(std::vector<std::string> args) const {
    return velmora::testing::ChildProcess(VELMORA_BIN, options_for(std::move(args)));
  }

  /// The arguments in this machine's home and environment.
  [[nodiscard]] ProcessOptions options_for(std::vector<std::string> args) const {
    ProcessOptions options;
    options.args = std::move(args);
    options.cwd = home();
    options.env = env();
    return options;
  }

  std::optional<std::string> oauth_base_url;

 private:
  TempDir home_;
};

/// The endpoint and identity options for `sim`.
inline std::vector<std::string> session_args(const SimProcess& sim,
                                             std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--url",     sim.ws_url(),
                                   "--user-id", "u1",
                                   "--token",   std::string(velmora::testing::SESSION_TOKEN)};
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

using velmora::testing::shell_quote;

/// The shell's empty prompt, placeholder shown.
inline constexpr const char* PLACEHOLDER_LINE = "> Ask Velmora anything or type / for commands";

/// The thread a simulator record names.
inline std::string thread_of(const boost::json::object& record) {
  return std::string(record.at("thread_id").as_string());
}

/// A thread id as the saved-session labels shorten it.
inline std::string short_label(const std::string& thread_id) {
  return thread_id.substr(0, 8) + "..." + thread_id.substr(thread_id.size() - 4);
}

/// The interactive shell in a real terminal (tmux) on `machine`. The terminal's modes are
/// saved before the program starts and after it ends (`stty_before`, `stty_after`).
class Terminal : public velmora::testing::TmuxTerminal {
 public:
  Terminal(const SessionMachine& machine, std::vector<std::string> args,
           std::map<std::string, std::string> extra_env = {}, int width = 120, int height = 40)
      : Terminal(machine, std::move(args), std::move(extra_env), width, height,
                 std::make_unique<TempDir>()) {}

  /// The exit status once the program ended.
  std::optional<int> wait_for_exit(double timeout_seconds = 30) {
    const auto shown = wait_for("__exit=", timeout_seconds);
    if (!shown) return std::nullopt;
    const auto at = shown->find("__exit=") + 7;
    return std::stoi(shown->substr(at, shown->find("__", at) - at));
  }

  /// True once the program runs and shows its empty prompt.
  bool wait_ready() { return started() && wait_visible(PLACEHOLDER_LINE).has_value(); }

  /// Waits until `text` is shown with the empty prompt back below it; that screen or nothing.
  std::optional<std::string> wait_prompt_after(const std::string& text,
                                               double timeout_seconds = 30) {
    return wait_until(
        [&](const std::string& s) {
          return velmora::testing::shown_after(s, PLACEHOLDER_LINE, text);
        },
        timeout_seconds);
  }

  /// Ends the shell with "/exit"; its exit status.
  std::optional<int> exit_shell() {
    type("/exit");
    return wait_for_exit();
  }

  /// `stty -a` in the terminal before the program started and after it ended (once it has).
  [[nodiscard]] std::string stty_before() const { return read_or_empty("stty.before"); }
  std::string stty_after() {
    (void)wait_for("__modes_saved__");
    return read_or_empty("stty.after");
  }

 private:
  Terminal(const SessionMachine& machine, std::vector<std::string> args,
           std::map<std::string, std::string> extra_env, int width, int height,
           std::unique_ptr<TempDir> modes)
      : TmuxTerminal(command_line(machine, args, extra_env, modes->path()),
                     {.width = width, .height = height, .cwd = machine.home()}),
        modes_(std::move(modes)) {}

  static std::string command_line(const SessionMachine& machine,
                                  const std::vector<std::string>& args,
                                  const std::map<std::string, std::string>& extra_env,
                                  const std::filesystem::path& modes) {
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
    // Ctrl+C outside the editor's raw mode reaches the whole foreground group: the shell
    // around the program must live on to report its status.
    std::string command =
        "trap : INT; stty -a > " + shell_quote((modes / "stty.before").string()) + "; ";
    command += "env" + unset + assign;
    command += " " + shell_quote(VELMORA_BIN);
    for (const auto& arg : args) command += " " + shell_quote(arg);
    command += "; echo __exit=$?__; stty -a > " + shell_quote((modes / "stty.after").string()) +
               "; echo __modes_saved__; while :; do sleep 600; done";
    return command;
  }

  [[nodiscard]] std::string read_or_empty(const char* name) const {
    const auto path = modes_->path() / name;
    return std::filesystem::exists(path) ? velmora::testing::read_file(path) : std::string();
  }

  std::unique_ptr<TempDir> modes_;
};

}  // namespace session_e2e
