// The interactive shell's line input: on a capable terminal a prompt "> " with a grey
// placeholder, slash-command completion and a status toolbar, drawn by the Screen so that the
// agent's output streams above it; otherwise plain line reading on a worker thread.
//
// The input loop creates one instance per shell and awaits `read_line` for every line:
//
//   InteractiveShellInput shell_input(screen);          // screen null: plain mode
//   auto patch = shell_input.stdout_patch_context(*console);
//   auto line = co_await shell_input.read_line(state);
//   if (line.outcome == ShellReadOutcome::end_of_input) ...
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "velmora/shell_history.hpp"
#include "velmora/slash_completer.hpp"
#include "velmora/term/console.hpp"
#include "velmora/term/fragments.hpp"
#include "velmora/term/line_editor.hpp"
#include "velmora/term/screen.hpp"

namespace velmora {

/// Filled by the session driver before each prompt.
struct InteractivePromptState {
  std::optional<std::string> language;
  /// Absent until the server assigned a thread.
  std::optional<std::string> thread_id;
  int pending_attachment_count = 0;
  /// The toolbar then shows no thread id.
  bool hide_session_details = false;
};

/// What the prompt shell is built from; absent where the line editor cannot run.
struct PromptToolkitComponents {
  velmora::term::StyleSheet style;
};

/// Unless VELMORA_ENABLE_PROMPT_CPR is truthy, sets PROMPT_TOOLKIT_NO_CPR=1 when it is unset
/// (a value already there is kept). Our editor never sends cursor-position requests either way;
/// the variable is kept for the programs the shell starts.
void configure_prompt_toolkit_runtime();

/// Configures the runtime, then the components; none on a terminal that cannot move the cursor
/// (TERM=dumb).
[[nodiscard]] std::optional<PromptToolkitComponents> load_prompt_toolkit_components();

/// "prompt", "placeholder" and "bottom-toolbar" styles.
[[nodiscard]] velmora::term::StyleSheet build_prompt_style();
[[nodiscard]] std::string build_interactive_placeholder();
[[nodiscard]] velmora::term::Fragments build_prompt_message();
[[nodiscard]] velmora::term::Fragments build_prompt_placeholder_formatted();
/// "language …" | "thread …" | ["attachment 1 queued" | "attachments N queued"] |
/// "type / for commands" | "/new fresh session".
[[nodiscard]] std::string build_interactive_toolbar(const InteractivePromptState& state);
[[nodiscard]] velmora::term::Fragments build_prompt_toolbar_formatted(
    const InteractivePromptState& state);
/// "(hidden)", "(awaiting metadata)", the id shortened to first 8 + "..." + last 4 when longer
/// than 12 characters, else the id.
[[nodiscard]] std::string short_thread_label(const std::optional<std::string>& thread_id,
                                             bool hide_session_details);

/// Plain line reading: writes "\n" + placeholder + "\n" (when given) and the prompt, reads one
/// line and returns it without its trailing CR/LF; nothing at end of input. Blocks; an
/// interrupted read is resumed.
[[nodiscard]] std::optional<std::string> read_raw_shell_input(
    std::string_view prompt = "\n> ", const std::optional<std::string>& placeholder = std::nullopt,
    int in_fd = 0, int out_fd = 1);

using ShellReadOutcome = velmora::term::PromptOutcome;
using ShellReadResult = velmora::term::PromptResult;

/// Keeps a console printing through the screen while it lives, then puts its sink back.
class StdoutPatch {
 public:
  StdoutPatch() = default;
  StdoutPatch(velmora::term::Console& console, std::shared_ptr<velmora::term::OutputSink> sink);
  ~StdoutPatch();
  StdoutPatch(StdoutPatch&& other) noexcept;
  StdoutPatch& operator=(StdoutPatch&&) = delete;
  StdoutPatch(const StdoutPatch&) = delete;

 private:
  velmora::term::Console* console_ = nullptr;
  std::shared_ptr<velmora::term::OutputSink> previous_;
};

/// Threading: construct and read on the event-loop thread.
class InteractiveShellInput {
 public:
  /// Prompt mode when a screen on an interactive terminal is given and the components load;
  /// otherwise (and silently) plain mode, for the instance's whole life.
  explicit InteractiveShellInput(std::shared_ptr<velmora::term::Screen> screen = nullptr);
  ~InteractiveShellInput();

  [[nodiscard]] bool uses_prompt_toolkit() const noexcept { return editor_ != nullptr; }
  /// In prompt mode the console prints through the screen while the result lives.
  [[nodiscard]] StdoutPatch stdout_patch_context(velmora::term::Console& console) const;

  /// One line as typed (prompt mode: with the interrupt and end-of-input outcomes; plain mode:
  /// a line or end of input). In prompt mode an accepted line is also saved to the history
  /// file (see shell_history.hpp), which the editor's Up and Ctrl+R start from.
  boost::asio::awaitable<ShellReadResult> read_line(const InteractivePromptState& state);

 private:
  std::shared_ptr<velmora::term::Screen> screen_;
  std::unique_ptr<SlashCommandCompleter> completer_;
  std::unique_ptr<velmora::term::LineEditor> editor_;
  velmora::term::StyleSheet style_;
  /// Absent in plain mode and when VELMORA_HISTORY turns it off.
  std::optional<ShellHistoryFile> history_file_;
  /// A history file that cannot be read or written is said once, then left alone.
  void warn_history(const std::string& what);
  bool history_warned_ = false;
};

}  // namespace velmora
