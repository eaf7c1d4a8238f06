// Code blocks coloured by language through GNU Source-highlight's language definitions.
//
// Highlighting only styles runs: the text of the lines is exactly the code given, so copying a
// block from the terminal gives the code.
//
//   if (auto lines = highlight_code("py", "def f():\n    return 1", styles().code_palette)) …
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "style_sheet.hpp"
#include "text_layout.hpp"

namespace velmora::renderer {

/// Loads language definitions from one folder (the .lang files and lang.map) and keeps each
/// definition once compiled. Not thread-safe: the functions below share one behind a lock.
class CodeHighlighter {
 public:
  explicit CodeHighlighter(std::filesystem::path language_dir);
  ~CodeHighlighter();
  CodeHighlighter(const CodeHighlighter&) = delete;
  CodeHighlighter& operator=(const CodeHighlighter&) = delete;

  /// The definition file for a fence's language name ("py", "c++", "golang"), or nothing when
  /// the folder has none.
  [[nodiscard]] std::optional<std::string> definition_for(std::string_view language);

  /// A language's definition, compiled.
  struct Compiled;
  /// The compiled definition for a fence's language name (compiled on first use, then kept);
  /// nothing for an unknown language or a definition that does not load.
  [[nodiscard]] std::shared_ptr<const Compiled> compiled(std::string_view language);
  /// One styled line per line of `code`, or nothing when a rule gives up on it.
  [[nodiscard]] static std::optional<std::vector<Line>> colour(const Compiled& definition,
                                                               std::string_view code,
                                                               const CodePalette& palette);

  /// One styled line per line of `code`; nothing for an unknown language or a definition that
  /// does not load.
  [[nodiscard]] std::optional<std::vector<Line>> highlight(std::string_view language,
                                                           std::string_view code,
                                                           const CodePalette& palette);

  /// The definition file did not load (it is not tried again).
  [[nodiscard]] bool failed(std::string_view file) const;
  /// "<file>: <reason>" for each definition that failed to load since the last call.
  [[nodiscard]] std::vector<std::string> take_failures();

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
};

/// Where the program's language definitions are: share/velmora/source-highlight beside the
/// installed program, else the system's /usr/share/source-highlight (a build tree).
[[nodiscard]] std::filesystem::path default_language_dir();

// The process's highlighters, one per folder of definitions (default_language_dir() for an
// empty one), callable from any thread.

/// `code` highlighted with the definitions of `language_dir`.
[[nodiscard]] std::optional<std::vector<Line>> highlight_code(
    std::string_view language, std::string_view code, const CodePalette& palette,
    const std::filesystem::path& language_dir = {});

/// highlight_code without waiting: false (and nothing) while another thread is colouring.
[[nodiscard]] bool try_highlight_code(std::string_view language, std::string_view code,
                                      const CodePalette& palette,
                                      const std::filesystem::path& language_dir,
                                      std::optional<std::vector<Line>>& lines);

/// A block in `language` would be coloured (a definition is there and has not failed).
[[nodiscard]] bool can_highlight(std::string_view language,
                                 const std::filesystem::path& language_dir = {});

/// "<file>: <reason>" for each definition of `language_dir` that failed to load since the last
/// call: each is told once per process.
[[nodiscard]] std::vector<std::string> take_definition_failures(
    const std::filesystem::path& language_dir = {});

}  // namespace velmora::renderer
