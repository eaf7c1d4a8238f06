// Shell completions (bash, zsh, fish) and the man page of `velmora`, generated from its option
// parser so that they never drift from what the program accepts.
//
//   velmora::Options options;
//   auto doc = velmora::shell_docs::describe_command_line(*velmora::make_parser(options), "0.1.0");
//   write(velmora::shell_docs::bash_completion(doc));
//
// Value names steer completion: FILE offers file names, FILES a comma-separated list of them,
// anything else (TEXT, INT, URL...) is left to the user.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace velmora::shell_docs {

struct OptionDoc {
  std::vector<std::string> short_names;  ///< without the "-"
  std::vector<std::string> long_names;   ///< without the "--"
  /// Empty for a flag; otherwise the option takes exactly one value.
  std::string value_name;
  std::string help;
  /// --help and --version: the program prints something and ends; nothing else follows.
  bool ends_program = false;
};

struct CommandDoc {
  std::string name;
  std::string help;
  std::vector<OptionDoc> options;
};

struct ProgramDoc {
  std::string name;
  std::string description;
  std::string version;
  /// Options accepted directly after the program name.
  std::vector<OptionDoc> options;
  std::vector<CommandDoc> commands;
};

/// Extra man page sections the parser does not know about (environment, files, exit status).
struct ManSection {
  std::string title;
  /// Paragraphs of plain text, or terms with their explanation.
  struct Item {
    std::string term;  ///< empty: a plain paragraph
    std::string text;
  };
  std::vector<Item> items;
};

/// Walks the parser. Throws std::invalid_argument for a name that could not be written safely
/// into a shell script (anything beyond letters, digits, "-" and "_").
[[nodiscard]] ProgramDoc describe_command_line(const CLI::App& app, std::string version);

[[nodiscard]] std::string bash_completion(const ProgramDoc& doc);
[[nodiscard]] std::string zsh_completion(const ProgramDoc& doc);
[[nodiscard]] std::string fish_completion(const ProgramDoc& doc);
[[nodiscard]] std::string man_page(const ProgramDoc& doc, const std::vector<ManSection>& extra);

/// Text made safe for roff: backslashes, hyphens, and a leading "." or "'".
[[nodiscard]] std::string roff_escape(std::string_view text);
/// Text inside a single-quoted zsh `_arguments` explanation ("[...]").
[[nodiscard]] std::string zsh_explanation(std::string_view text);
/// Text as one single-quoted fish word.
[[nodiscard]] std::string fish_quote(std::string_view text);

}  // namespace velmora::shell_docs
