#include "velmora/shell_input.hpp"

#include <unistd.h>

#include <cerrno>

#include "velmora/base/async.hpp"
#include "velmora/platform/env.hpp"
#include "velmora/strip.hpp"
#include "velmora/term/text_width.hpp"
#include "velmora/terminal_mode.hpp"

namespace velmora {
namespace {

constexpr std::string_view PLACEHOLDER = "Ask Velmora anything or type / for commands";
/// Lines kept free below the prompt for the completion menu.
constexpr int RESERVE_SPACE_FOR_MENU = 8;

void write_out(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed output does not stop the reading
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void configure_prompt_toolkit_runtime() {
  if (is_truthy_env(velmora::platform::get_env("VELMORA_ENABLE_PROMPT_CPR"))) return;
  velmora::platform::set_env("PROMPT_TOOLKIT_NO_CPR", "1", /*overwrite=*/false);
}

std::optional<PromptToolkitComponents> load_prompt_toolkit_components() {
  configure_prompt_toolkit_runtime();
  const auto term = velmora::platform::get_env("TERM");
  if (term && strip(*term) == "dumb") return std::nullopt;
  return PromptToolkitComponents{build_prompt_style()};
}

velmora::term::StyleSheet build_prompt_style() {
  return velmora::term::StyleSheet{
      {"prompt", "bold ansibrightcyan"},
      {"placeholder", "italic ansibrightblack"},
      {"bottom-toolbar", "ansibrightblack bg:ansiblack"},
  };
}

std::string build_interactive_placeholder() { return std::string(PLACEHOLDER); }

velmora::term::Fragments build_prompt_message() { return {{"class:prompt", "> "}}; }

velmora::term::Fragments build_prompt_placeholder_formatted() {
  return {{"class:placeholder", build_interactive_placeholder()}};
}

std::string short_thread_label(const std::optional<std::string>& thread_id,
                               bool hide_session_details) {
  if (hide_session_details) return "(hidden)";
  if (!thread_id || thread_id->empty()) return "(awaiting metadata)";
  // Thread ids are ASCII (UUIDs); counting bytes keeps the 8 + "..." + 4 form exact for them.
  if (thread_id->size() > 12) {
    return thread_id->substr(0, 8) + "..." + thread_id->substr(thread_id->size() - 4);
  }
  return *thread_id;
}

std::string build_interactive_toolbar(const InteractivePromptState& state) {
  std::string toolbar = "language ";
  toolbar += (state.language && !state.language->empty()) ? *state.language : "-";
  toolbar += " | thread ";
  toolbar += short_thread_label(state.thread_id, state.hide_session_details);
  if (state.pending_attachment_count > 0) {
    toolbar += state.pending_attachment_count == 1 ? " | attachment " : " | attachments ";
    toolbar += std::to_string(state.pending_attachment_count) + " queued";
  }
  toolbar += " | type / for commands | /new fresh session";
  return toolbar;
}

velmora::term::Fragments build_prompt_toolbar_formatted(const InteractivePromptState& state) {
  return {{"class:bottom-toolbar", build_interactive_toolbar(state)}};
}

std::optional<std::string> read_raw_shell_input(std::string_view prompt,
                                                const std::optional<std::string>& placeholder,
                                                int in_fd, int out_fd) {
  if (placeholder) write_out(out_fd, "\n" + *placeholder + "\n");
  write_out(out_fd, prompt);
  // One byte at a time, so nothing after the line is taken from whoever reads next.
  std::string line;
  bool got_any = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(in_fd, &c, 1);
    if (n < 0) {
      // A signal handled elsewhere (window size, Ctrl+C on the event loop) interrupts the read.
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;
    got_any = true;
    if (c == '\n') break;
    line += c;
  }
  if (!got_any) return std::nullopt;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

StdoutPatch::StdoutPatch(velmora::term::Console& console,
                         std::shared_ptr<velmora::term::OutputSink> sink)
    : console_(&console), previous_(console.sink()) {
  console.set_sink(std::move(sink));
}

StdoutPatch::~StdoutPatch() {
  if (console_ != nullptr) console_->set_sink(previous_);
}

StdoutPatch::StdoutPatch(StdoutPatch&& other) noexcept
    : console_(other.console_), previous_(std::move(other.previous_)) {
  other.console_ = nullptr;
}

InteractiveShellInput::InteractiveShellInput(std::shared_ptr<velmora::term::Screen> screen) {
  if (!screen || !screen->is_terminal() || !screen->input_is_terminal()) return;
  auto components = load_prompt_toolkit_components();
  if (!components) return;
  screen_ = std::move(screen);
  style_ = std::move(components->style);
  completer_ = std::make_unique<SlashCommandCompleter>(build_slash_commands());
  editor_ = std::make_unique<velmora::term::LineEditor>(*screen_);
  if (const auto path = ShellHistoryFile::default_path()) {
    history_file_.emplace(*path);
    try {
      for (const auto& entry : history_file_->load()) editor_->history().append(entry);
    } catch (const std::exception& e) {
      warn_history(std::string("could not be read (") + e.what() + ")");
    }
  }
}

void InteractiveShellInput::warn_history(const std::string& what) {
  if (history_warned_ || !screen_) return;
  history_warned_ = true;
  screen_->write("Shell history " + velmora::term::printable_text(what) +
                 "; it is not kept for later runs.\n");
}

InteractiveShellInput::~InteractiveShellInput() = default;

StdoutPatch InteractiveShellInput::stdout_patch_context(velmora::term::Console& console) const {
  if (!uses_prompt_toolkit()) return {};
  return StdoutPatch(console, screen_);
}

boost::asio::awaitable<ShellReadResult> InteractiveShellInput::read_line(
    const InteractivePromptState& state) {
  if (!uses_prompt_toolkit()) {
    const std::string placeholder = build_interactive_placeholder();
    auto read = [placeholder] { return read_raw_shell_input("\n> ", placeholder); };
    auto line = co_await velmora::base::run_blocking(std::move(read));
    if (!line) co_return ShellReadResult{ShellReadOutcome::end_of_input, {}};
    co_return ShellReadResult{ShellReadOutcome::accepted, std::move(*line)};
  }
  velmora::term::PromptOptions options;
  options.message = build_prompt_message();
  options.placeholder = build_prompt_placeholder_formatted();
  // Computed once as the prompt opens; not refreshed while it shows.
  options.bottom_toolbar = build_prompt_toolbar_formatted(state);
  options.completer = completer_.get();
  options.complete_while_typing = true;
  options.style = style_;
  options.reserve_space_for_menu = RESERVE_SPACE_FOR_MENU;
  auto result = co_await editor_->prompt(options);
  if (result.outcome == ShellReadOutcome::accepted && history_file_ &&
      result.text.find_first_not_of(" \t\r\n") != std::string::npos) {
    try {
      history_file_->append(result.text);
    } catch (const std::exception& e) {
      warn_history(std::string("could not be saved (") + e.what() + ")");
    }
  }
  co_return result;
}

}  // namespace velmora
