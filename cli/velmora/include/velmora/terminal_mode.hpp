// Terminal capabilities and output modes: where the program runs (colour terminal, pipe, chat
// gateway) and what it therefore does (prompt shell, plain output, auto-answered prompts).
//
// Every decision has two forms: one that asks the process (`stdout_supports_ansi()`) and one
// that takes the facts explicitly (`stdout_supports_ansi(facts)`), so tests can pose as a
// terminal, a pipe or a Windows console.
//
//   initialize_console_runtime();  // once, first thing in main
//   auto console = build_console(should_use_plain_output(args, std::nullopt));
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "velmora/options.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

/// True for "1", "true", "yes", "on" (trimmed, any case); absent is false.
[[nodiscard]] bool is_truthy_env(const std::optional<std::string>& value);
/// Trimmed text, or nothing when absent or empty.
[[nodiscard]] std::optional<std::string> clean_optional_str(
    const std::optional<std::string>& value);

[[nodiscard]] bool is_windows_runtime();

/// The kernel32 console calls of the Windows set-up. The real one exists only on Windows;
/// tests pass a fake.
class WindowsConsoleApi {
 public:
  virtual ~WindowsConsoleApi() = default;
  /// GetStdHandle: the raw handle (0 and -1 mean none), or nothing when the call fails.
  virtual std::optional<std::intptr_t> get_std_handle(int std_handle) = 0;
  /// GetConsoleMode, or nothing when the handle is not a console.
  virtual std::optional<std::uint32_t> get_console_mode(std::intptr_t handle) = 0;
  virtual bool set_console_mode(std::intptr_t handle, std::uint32_t mode) = 0;
  virtual bool set_console_cp(std::uint32_t code_page) = 0;
  virtual bool set_console_output_cp(std::uint32_t code_page) = 0;
};

inline constexpr int STD_OUTPUT_HANDLE_ID = -11;
inline constexpr int STD_ERROR_HANDLE_ID = -12;
inline constexpr std::uint32_t CONSOLE_ENABLE_PROCESSED_OUTPUT = 0x1;
inline constexpr std::uint32_t CONSOLE_ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x4;
inline constexpr std::uint32_t UTF8_CODE_PAGE = 65001;

/// The kernel32 console calls, or null when not on Windows (or the library cannot be loaded).
[[nodiscard]] std::unique_ptr<WindowsConsoleApi> get_windows_kernel32();
/// Makes the console behind `std_handle` accept ANSI sequences; false when it cannot.
[[nodiscard]] bool enable_windows_vt_mode(WindowsConsoleApi& kernel32, int std_handle) noexcept;

/// True when the standard stream `fd` (0, 1 or 2) is open: we always write UTF-8, so an open
/// stream needs no switching.
[[nodiscard]] bool reconfigure_utf8_stream(int fd) noexcept;

/// Set once by `initialize_console_runtime`, before anything is printed; read afterwards.
struct ConsoleRuntimeFlags {
  bool utf8_streams_configured = false;
  bool vt_enabled = false;
};

/// The flags as the start-up set them (both false before it ran).
[[nodiscard]] const ConsoleRuntimeFlags& console_runtime_flags() noexcept;

/// The start-up steps with the platform given: which of stdin, stdout, stderr are open,
/// whether we run on Windows, and the console calls (null when unavailable).
[[nodiscard]] ConsoleRuntimeFlags configure_console_runtime(const std::array<bool, 3>& open_streams,
                                                            bool windows,
                                                            WindowsConsoleApi* kernel32) noexcept;

/// Prepares the standard streams (and a Windows console) once, before anything is printed.
void initialize_console_runtime();

/// What the output decisions need to know about the process's streams.
struct TerminalFacts {
  bool stdin_tty = false;
  /// Standard output exists and is a terminal.
  bool stdout_tty = false;
  /// Standard output is open and written as UTF-8.
  bool stdout_utf8 = false;
  bool windows = false;
  bool windows_vt_enabled = false;
};

/// The facts of this process now.
[[nodiscard]] TerminalFacts current_terminal_facts();

[[nodiscard]] std::shared_ptr<velmora::term::Console> build_console(bool plain_output);
[[nodiscard]] std::shared_ptr<velmora::term::Console> build_console(
    bool plain_output, const TerminalFacts& facts,
    std::shared_ptr<velmora::term::OutputSink> sink = nullptr);

/// Prints `text` (markup) in `style` unless the console has colour off.
void print_console_notice(velmora::term::Console& console, std::string_view text,
                          const std::optional<std::string>& style = std::nullopt);

/// The query configuration (or any part of it) says the Tarnquist Feishu/Lark channel runs us.
[[nodiscard]] bool config_indicates_tarnquist_feishu(const boost::json::value& value);
[[nodiscard]] bool config_indicates_tarnquist_feishu(
    const std::optional<boost::json::object>& config);

[[nodiscard]] bool should_hide_session_details(const Options& args,
                                               const std::optional<boost::json::object>& config);
[[nodiscard]] bool stdin_is_interactive();
[[nodiscard]] bool stdout_supports_unicode();
[[nodiscard]] bool stdout_supports_ansi();
[[nodiscard]] bool stdout_supports_ansi(const TerminalFacts& facts);
[[nodiscard]] bool should_use_prompt_shell(const Options& args);
[[nodiscard]] bool should_use_prompt_shell(const Options& args, const TerminalFacts& facts);
[[nodiscard]] bool should_use_non_interactive(const Options& args,
                                              const std::optional<boost::json::object>& config);
[[nodiscard]] bool should_use_non_interactive(const Options& args,
                                              const std::optional<boost::json::object>& config,
                                              const TerminalFacts& facts);
[[nodiscard]] bool should_use_plain_output(const Options& args,
                                           const std::optional<boost::json::object>& config);
[[nodiscard]] bool should_use_plain_output(const Options& args,
                                           const std::optional<boost::json::object>& config,
                                           const TerminalFacts& facts);
[[nodiscard]] std::string resolve_render_profile(bool plain_output);

}  // namespace velmora
