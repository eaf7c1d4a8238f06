#include "velmora/terminal_mode.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "velmora/base/strings.hpp"
#include "velmora/completion_wait.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/renderer/stream_renderer.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define VELMORA_ISATTY _isatty
#else
#include <fcntl.h>
#include <unistd.h>
#define VELMORA_ISATTY ::isatty
extern char** environ;
#endif

namespace velmora {

namespace {

using velmora::platform::get_env;

constexpr std::array<std::string_view, 5> WINDOWS_TERMINAL_MARKERS = {
    "WT_SESSION", "ANSICON", "TERM", "ConEmuANSI", "TERM_PROGRAM"};
constexpr std::array<std::string_view, 6> CHAT_PLATFORM_MARKERS = {
    "RUNNING_IN_FEISHU", "RUNNING_IN_LARK", "FEISHU_APP_ID",
    "LARK_APP_ID",       "FEISHU_WEBHOOK",  "LARK_WEBHOOK"};

// Configuration objects come from users; nesting beyond this is not a channel marker.
constexpr int MAX_CONFIG_DEPTH = 64;

ConsoleRuntimeFlags g_console_runtime_flags;

bool env_non_empty(std::string_view name) {
  const auto value = get_env(std::string(name));
  return value && !value->empty();
}

bool text_indicates(std::string_view text) {
  const std::string lowered = base::ascii_lower(text);
  const auto has = [&](std::string_view word) { return lowered.find(word) != std::string::npos; };
  if (has("tarnquist") && (has("feishu") || has("lark") || has("channel"))) return true;
  return has("channel:feishu");
}

// The lower-case text of a scalar as the channel keys compare it; containers never match.
std::optional<std::string> lowered_scalar(const boost::json::value& value) {
  if (value.is_string()) return base::ascii_lower(value.get_string());
  return std::nullopt;
}

bool value_indicates(const boost::json::value& value, int depth);

bool object_indicates(const boost::json::object& object, int depth) {
  for (const auto& entry : object) {
    const std::string key = base::ascii_lower(entry.key());
    const auto text = lowered_scalar(entry.value());
    if (text &&
        (key == "channel" || key == "source_channel" || key == "platform" ||
         key == "source_platform") &&
        (*text == "feishu" || *text == "lark" || *text == "tarnquist_feishu")) {
      return true;
    }
    if (text && (key == "source" || key == "client" || key == "platform_name") &&
        *text == "tarnquist") {
      return true;
    }
    if (value_indicates(entry.value(), depth + 1)) return true;
  }
  return false;
}

bool value_indicates(const boost::json::value& value, int depth) {
  if (depth > MAX_CONFIG_DEPTH) return false;
  switch (value.kind()) {
    case boost::json::kind::string:
      return text_indicates(value.get_string());
    case boost::json::kind::object:
      return object_indicates(value.get_object(), depth);
    case boost::json::kind::array:
      for (const auto& element : value.get_array()) {
        if (value_indicates(element, depth + 1)) return true;
      }
      return false;
    default:
      return false;
  }
}

bool any_chat_prefixed_variable() {
#ifdef _WIN32
  char** env = _environ;
#else
  char** env = environ;
#endif
  if (env == nullptr) return false;
  for (char** entry = env; *entry != nullptr; ++entry) {
    const std::string_view item(*entry);
    if (!item.starts_with("FEISHU_") && !item.starts_with("LARK_")) continue;
    const auto eq = item.find('=');
    if (eq != std::string_view::npos && eq + 1 < item.size()) return true;
  }
  return false;
}

#ifdef _WIN32
class Kernel32Console final : public WindowsConsoleApi {
 public:
  std::optional<std::intptr_t> get_std_handle(int std_handle) override {
    return reinterpret_cast<std::intptr_t>(::GetStdHandle(static_cast<DWORD>(std_handle)));
  }
  std::optional<std::uint32_t> get_console_mode(std::intptr_t handle) override {
    DWORD mode = 0;
    if (!::GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode)) return std::nullopt;
    return static_cast<std::uint32_t>(mode);
  }
  bool set_console_mode(std::intptr_t handle, std::uint32_t mode) override {
    return ::SetConsoleMode(reinterpret_cast<HANDLE>(handle), mode) != 0;
  }
  bool set_console_cp(std::uint32_t code_page) override { return ::SetConsoleCP(code_page) != 0; }
  bool set_console_output_cp(std::uint32_t code_page) override {
    return ::SetConsoleOutputCP(code_page) != 0;
  }
};
#endif

}  // namespace

bool is_truthy_env(const std::optional<std::string>& value) {
  if (!value) return false;
  const std::string lowered = base::ascii_lower(base::trim(*value));
  return lowered == "1" || lowered == "true" || lowered == "yes" || lowered == "on";
}

std::optional<std::string> clean_optional_str(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  const std::string_view trimmed = base::trim(*value);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

bool is_windows_runtime() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

std::unique_ptr<WindowsConsoleApi> get_windows_kernel32() {
#ifdef _WIN32
  return std::make_unique<Kernel32Console>();
#else
  return nullptr;
#endif
}

bool enable_windows_vt_mode(WindowsConsoleApi& kernel32, int std_handle) noexcept {
  try {
    const auto handle = kernel32.get_std_handle(std_handle);
    if (!handle || *handle == 0 || *handle == -1) return false;
    const auto mode = kernel32.get_console_mode(*handle);
    if (!mode) return false;
    const std::uint32_t wanted =
        *mode | CONSOLE_ENABLE_PROCESSED_OUTPUT | CONSOLE_ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    if (wanted == *mode) return true;
    return kernel32.set_console_mode(*handle, wanted);
  } catch (...) {
    // A console that cannot be asked simply gets no escape sequences.
    return false;
  }
}

bool reconfigure_utf8_stream(int fd) noexcept {
#ifdef _WIN32
  return _get_osfhandle(fd) != -1;
#else
  return ::fcntl(fd, F_GETFD) != -1;
#endif
}

const ConsoleRuntimeFlags& console_runtime_flags() noexcept { return g_console_runtime_flags; }

ConsoleRuntimeFlags configure_console_runtime(const std::array<bool, 3>& open_streams, bool windows,
                                              WindowsConsoleApi* kernel32) noexcept {
  ConsoleRuntimeFlags flags;
  flags.utf8_streams_configured =
      std::any_of(open_streams.begin(), open_streams.end(), [](bool open) { return open; });
  if (!windows || kernel32 == nullptr) return flags;
  try {
    // A console that refuses the code page still shows ASCII; nothing to report.
    (void)kernel32->set_console_output_cp(UTF8_CODE_PAGE);
    (void)kernel32->set_console_cp(UTF8_CODE_PAGE);
  } catch (...) {
    // Same as a refused call: the code page stays as it was.
  }
  // Standard output, when open, is written as UTF-8.
  if (open_streams[1]) flags.utf8_streams_configured = true;
  flags.vt_enabled = enable_windows_vt_mode(*kernel32, STD_OUTPUT_HANDLE_ID) ||
                     enable_windows_vt_mode(*kernel32, STD_ERROR_HANDLE_ID);
  return flags;
}

void initialize_console_runtime() {
  const std::array<bool, 3> open_streams = {reconfigure_utf8_stream(0), reconfigure_utf8_stream(1),
                                            reconfigure_utf8_stream(2)};
  const auto kernel32 = get_windows_kernel32();
  g_console_runtime_flags =
      configure_console_runtime(open_streams, is_windows_runtime(), kernel32.get());
}

TerminalFacts current_terminal_facts() {
  TerminalFacts facts;
  facts.stdin_tty = VELMORA_ISATTY(0) == 1;
  facts.stdout_tty = VELMORA_ISATTY(1) == 1;
  facts.stdout_utf8 = console_runtime_flags().utf8_streams_configured || reconfigure_utf8_stream(1);
  facts.windows = is_windows_runtime();
  facts.windows_vt_enabled = console_runtime_flags().vt_enabled;
  return facts;
}

std::shared_ptr<velmora::term::Console> build_console(bool plain_output) {
  return build_console(plain_output, current_terminal_facts());
}

std::shared_ptr<velmora::term::Console> build_console(
    bool plain_output, const TerminalFacts& facts,
    std::shared_ptr<velmora::term::OutputSink> sink) {
  const bool ansi = stdout_supports_ansi(facts);
  velmora::term::ConsoleOptions options;
  if (plain_output) {
    options = {.force_terminal = false, .no_color = true, .color_system = std::nullopt};
  } else {
    options = {.force_terminal = ansi,
               .no_color = !ansi,
               .color_system = ansi ? std::optional<std::string>("auto") : std::nullopt};
  }
  return std::make_shared<velmora::term::Console>(options, std::move(sink));
}

void print_console_notice(velmora::term::Console& console, std::string_view text,
                          const std::optional<std::string>& style) {
  if (console.no_color() || !style) {
    console.print(text);
    return;
  }
  std::string markup;
  markup.reserve(text.size() + 2 * style->size() + 5);
  markup.append("[").append(*style).append("]").append(text);
  markup.append("[/").append(*style).append("]");
  console.print(markup);
}

bool config_indicates_tarnquist_feishu(const boost::json::value& value) {
  return value_indicates(value, 0);
}

bool config_indicates_tarnquist_feishu(const std::optional<boost::json::object>& config) {
  if (!config) return false;
  return object_indicates(*config, 0);
}

bool should_hide_session_details(const Options& args,
                                 const std::optional<boost::json::object>& config) {
  if (args.hide_session_details) return true;
  if (is_truthy_env(get_env("QUILLON_HIDE_SESSION_DETAILS"))) return true;
  if (config_indicates_tarnquist_feishu(config)) return true;
  if (std::any_of(CHAT_PLATFORM_MARKERS.begin(), CHAT_PLATFORM_MARKERS.end(), env_non_empty)) {
    return true;
  }
  return any_chat_prefixed_variable();
}

bool stdin_is_interactive() { return current_terminal_facts().stdin_tty; }

bool stdout_supports_unicode() { return current_terminal_facts().stdout_utf8; }

bool stdout_supports_ansi() { return stdout_supports_ansi(current_terminal_facts()); }

bool stdout_supports_ansi(const TerminalFacts& facts) {
  if (!facts.stdout_tty) return false;
  if (is_truthy_env(get_env("NO_COLOR"))) return false;
  if (!facts.windows) return true;
  if (facts.windows_vt_enabled) return true;
  return std::any_of(WINDOWS_TERMINAL_MARKERS.begin(), WINDOWS_TERMINAL_MARKERS.end(),
                     env_non_empty);
}

bool should_use_prompt_shell(const Options& args) {
  return should_use_prompt_shell(args, current_terminal_facts());
}

bool should_use_prompt_shell(const Options& args, const TerminalFacts& facts) {
  if (is_truthy_env(get_env("VELMORA_DISABLE_PROMPT_SHELL"))) return false;
  if (args.prompt_shell) return true;
  if (is_truthy_env(get_env("VELMORA_ENABLE_PROMPT_SHELL"))) return true;
  if (!facts.stdin_tty) return false;
  if (!stdout_supports_ansi(facts)) return false;
  if (!facts.stdout_utf8) return false;
  // The line editor moves the cursor; a dumb terminal cannot, so it gets plain line input.
  return base::ascii_lower(base::trim(get_env("TERM").value_or(""))) != "dumb";
}

bool should_use_non_interactive(const Options& args,
                                const std::optional<boost::json::object>& config) {
  return should_use_non_interactive(args, config, current_terminal_facts());
}

bool should_use_non_interactive(const Options& args,
                                const std::optional<boost::json::object>& config,
                                const TerminalFacts& facts) {
  if (args.non_interactive || is_one_shot_query(args) ||
      config_indicates_tarnquist_feishu(config)) {
    return true;
  }
  return !facts.stdin_tty;
}

bool should_use_plain_output(const Options& args,
                             const std::optional<boost::json::object>& config) {
  return should_use_plain_output(args, config, current_terminal_facts());
}

bool should_use_plain_output(const Options& args, const std::optional<boost::json::object>& config,
                             const TerminalFacts& facts) {
  if (args.plain_output || config_indicates_tarnquist_feishu(config)) return true;
  return !facts.stdout_utf8 || !facts.stdout_tty;
}

std::string resolve_render_profile(bool plain_output) {
  return std::string(plain_output ? velmora::renderer::RENDER_PROFILE_IM
                                  : velmora::renderer::RENDER_PROFILE_TERMINAL);
}

}  // namespace velmora
