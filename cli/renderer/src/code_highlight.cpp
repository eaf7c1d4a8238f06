#include "code_highlight.hpp"

#include <srchilite/langdefmanager.h>
#include <srchilite/langmap.h>
#include <srchilite/regexrulefactory.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "rule_matcher.hpp"
#include "style_sheet.hpp"
#include "velmora/base/strings.hpp"
#include "velmora/platform/process.hpp"

// The standard streams for the release build's copy of libsource-highlight.a, whose references
// to stdin, stdout and stderr are renamed to these (cmake/VelmoraDependencies.cmake): defined in
// this library, they resolve at link time, as a shared library needs. The dev build links the
// shared library, which reaches the C library's streams itself.
extern "C" {
[[gnu::visibility("hidden"), gnu::used]] FILE* velmora_source_highlight_stdin = stdin;
[[gnu::visibility("hidden"), gnu::used]] FILE* velmora_source_highlight_stdout = stdout;
[[gnu::visibility("hidden"), gnu::used]] FILE* velmora_source_highlight_stderr = stderr;
}

#if defined(VELMORA_SOURCE_HIGHLIGHT_DEFERRED_INIT)
// That copy's static constructors sit in a section of their own instead of .init_array (same
// file): they compile Source-highlight's regular expressions, a twentieth of a short run's
// instructions, which only a run that highlights needs. The first highlighter runs them.
extern "C" {
using SourceHighlightConstructor = void (*)();
#pragma GCC visibility push(hidden)
[[gnu::weak]] extern const SourceHighlightConstructor __start_velmora_source_highlight_init[];
[[gnu::weak]] extern const SourceHighlightConstructor __stop_velmora_source_highlight_init[];
#pragma GCC visibility pop
}
#endif

namespace velmora::renderer {
namespace {

namespace fs = std::filesystem;

/// Larger blocks print plain: the regular expressions' cost must stay bounded for a hostile one.
constexpr std::size_t MAX_HIGHLIGHT_BYTES = std::size_t{256} << 10;

/// Fence names whose definition file is remembered; a stream of made-up names stays bounded.
constexpr std::size_t MAX_KNOWN_NAMES = 256;

/// Fence names the library's lang.map does not know, to the names it does.
const std::map<std::string, std::string, std::less<>> ALIASES{
    {"c++", "cpp"},         {"console", "sh"},     {"shell-session", "sh"},
    {"shellsession", "sh"}, {"ts", "javascript"},  {"typescript", "javascript"},
    {"tsx", "javascript"},  {"jsx", "javascript"}, {"mjs", "javascript"},
    {"node", "javascript"}, {"golang", "go"},      {"rust", "rs"},
    {"yml", "yaml"},        {"jsonc", "json"},     {"json5", "json"},
    {"python3", "python"},  {"py3", "python"},     {"make", "makefile"},
    {"mk", "makefile"},     {"htm", "html"},       {"c#", "csharp"},
    {"hxx", "hpp"},         {"zshrc", "zsh"},      {"bashrc", "bash"},
};

/// The palette entry for a definition's element; elements not listed stay plain.
using Role = const term::Style CodePalette::*;
const std::map<std::string, Role, std::less<>> ELEMENTS{
    {"keyword", &CodePalette::keyword},   {"preproc", &CodePalette::keyword},
    {"string", &CodePalette::string},     {"valquote", &CodePalette::string},
    {"regexp", &CodePalette::string},     {"comment", &CodePalette::comment},
    {"todo", &CodePalette::comment},      {"url", &CodePalette::comment},
    {"number", &CodePalette::number},     {"specialchar", &CodePalette::number},
    {"type", &CodePalette::type},         {"usertype", &CodePalette::type},
    {"classname", &CodePalette::type},    {"function", &CodePalette::function},
    {"key", &CodePalette::function},      {"keyquote", &CodePalette::function},
    {"variable", &CodePalette::variable}, {"label", &CodePalette::variable},
};

/// Appends a line's runs in the palette's styles.
class LineSink final : public RuleMatcher::Sink {
 public:
  /// `styles` remembers each element's style for the block: the element names are the
  /// definition's own strings, so their addresses name them.
  using Styles = std::unordered_map<const std::string*, const term::Style*>;

  LineSink(Line& line, const CodePalette& palette, Styles& styles)
      : line_(line), palette_(palette), styles_(styles) {}

  void run(const std::string& element, std::string_view text) override {
    auto [known, added] = styles_.try_emplace(&element, nullptr);
    if (added) {
      static const term::Style PLAIN;
      const auto role = ELEMENTS.find(element);
      known->second = role == ELEMENTS.end() ? &PLAIN : &(palette_.*(role->second));
    }
    append_run(line_, *known->second, text);
  }

 private:
  Line& line_;
  const CodePalette& palette_;
  Styles& styles_;
};

/// The library's definition parser is one for the process: see CodeHighlighter::highlight.
bool parser_left_dirty = false;

bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The definitions match bytes, so a rule may end inside a multi-byte character; a style change
// there would split the character on the terminal. Continuation bytes join the run before.
void keep_characters_whole(Line& line) {
  for (std::size_t k = 1; k < line.size(); ++k) {
    std::string& text = line[k].text;
    std::size_t n = 0;
    while (n < text.size() && is_utf8_continuation(text[n])) ++n;
    if (n == 0) continue;
    line[k - 1].text.append(text, 0, n);
    text.erase(0, n);
  }
  std::erase_if(line, [](const term::Segment& s) { return s.text.empty(); });
}

std::vector<std::string_view> split_lines(std::string_view code) {
  std::vector<std::string_view> lines;
  std::size_t begin = 0;
  while (true) {
    const auto end = code.find('\n', begin);
    if (end == std::string_view::npos) {
      lines.push_back(code.substr(begin));
      return lines;
    }
    lines.push_back(code.substr(begin, end - begin));
    begin = end + 1;
  }
}

void construct_source_highlight() {
#if defined(VELMORA_SOURCE_HIGHLIGHT_DEFERRED_INIT)
  static const bool constructed = [] {
    for (const auto* constructor = __start_velmora_source_highlight_init;
         constructor != __stop_velmora_source_highlight_init; ++constructor) {
      (*constructor)();
    }
    return true;
  }();
  (void)constructed;
#endif
}

}  // namespace

struct CodeHighlighter::Compiled {
  explicit Compiled(srchilite::HighlightStatePtr main) : state(std::move(main)), matcher(*state) {}

  /// Keeps the states the matcher reads alive.
  srchilite::HighlightStatePtr state;
  RuleMatcher matcher;
};

struct CodeHighlighter::Engine {
  fs::path dir;
  srchilite::RegexRuleFactory rules;
  srchilite::LangDefManager definitions{&rules};
  std::optional<srchilite::LangMap> names;
  bool names_tried = false;
  /// Each definition compiled once: parsing a file and compiling its expressions costs a
  /// millisecond or more per block otherwise.
  std::map<std::string, std::shared_ptr<const Compiled>, std::less<>> compiled;
  std::set<std::string, std::less<>> failed;
  std::vector<std::string> failures;
  /// The definition file of each fence name asked about.
  std::map<std::string, std::optional<std::string>, std::less<>> files;

  explicit Engine(fs::path language_dir) : dir(std::move(language_dir)) {}

  srchilite::LangMap* language_map() {
    if (!names_tried) {
      names_tried = true;
      try {
        srchilite::LangMap map(dir.string(), "lang.map");
        map.open();
        names.emplace(std::move(map));
      } catch (const std::exception&) {
        // No readable lang.map: every language is unknown, so blocks print as they are.
        names.reset();
      }
    }
    return names ? &*names : nullptr;
  }
};

CodeHighlighter::CodeHighlighter(fs::path language_dir) {
  construct_source_highlight();
  engine_ = std::make_unique<Engine>(std::move(language_dir));
}

CodeHighlighter::~CodeHighlighter() = default;

std::optional<std::string> CodeHighlighter::definition_for(std::string_view language) {
  if (const auto known = engine_->files.find(language); known != engine_->files.end()) {
    return known->second;
  }
  std::string name = base::ascii_lower(base::trim(language));
  if (name.empty()) return std::nullopt;
  if (const auto alias = ALIASES.find(name); alias != ALIASES.end()) name = alias->second;
  srchilite::LangMap* map = engine_->language_map();
  if (!map) return std::nullopt;
  std::optional<std::string> file = map->getMappedFileName(name);
  std::error_code ec;
  if (file->empty() || !fs::is_regular_file(engine_->dir / *file, ec)) file.reset();
  // Asked for every block on the event loop: answered once per fence name.
  if (engine_->files.size() < MAX_KNOWN_NAMES) engine_->files.emplace(language, file);
  return file;
}

std::shared_ptr<const CodeHighlighter::Compiled> CodeHighlighter::compiled(
    std::string_view language) {
  const auto file = definition_for(language);
  if (!file || engine_->failed.contains(*file)) return nullptr;
  std::shared_ptr<const Compiled>& compiled = engine_->compiled[*file];
  if (compiled) return compiled;
  try {
    if (parser_left_dirty) {
      // The library's definition parser keeps the rest of a file it gave up on and reads it
      // into the next definition it parses, which then colours nothing (and a manager keeps
      // what it parsed): that parse is spent in a manager of its own.
      parser_left_dirty = false;
      srchilite::LangDefManager spent(&engine_->rules);
      try {
        (void)spent.getHighlightState(engine_->dir.string(), *file);
      } catch (const std::exception&) {
        // Expected of the spent parse; the real one below tells whether the file is sound.
      }
    }
    compiled = std::make_shared<const Compiled>(
        engine_->definitions.getHighlightState(engine_->dir.string(), *file));
    return compiled;
  } catch (const std::exception& error) {
    // A definition that does not load leaves its blocks plain (the answer matters more than
    // its colours), is not tried again, and is told once to whoever asks.
    parser_left_dirty = true;
    engine_->compiled.erase(*file);
    engine_->failed.insert(*file);
    engine_->failures.push_back(*file + ": " + error.what());
    return nullptr;
  }
}

std::optional<std::vector<Line>> CodeHighlighter::colour(const Compiled& definition,
                                                         std::string_view code,
                                                         const CodePalette& palette) {
  if (code.size() > MAX_HIGHLIGHT_BYTES) return std::nullopt;
  std::vector<Line> lines;
  try {
    RuleMatcher::Block block(definition.matcher);
    LineSink::Styles styles;
    for (const std::string_view line : split_lines(code)) {
      LineSink sink(lines.emplace_back(), palette, styles);
      block.line(line, sink);
    }
  } catch (const std::exception&) {
    // A rule that gives up on this text (the regular expressions' complexity limit), or a
    // definition that stops moving on, leaves this block plain.
    return std::nullopt;
  }
  for (Line& line : lines) keep_characters_whole(line);
  return lines;
}

std::optional<std::vector<Line>> CodeHighlighter::highlight(std::string_view language,
                                                            std::string_view code,
                                                            const CodePalette& palette) {
  if (code.size() > MAX_HIGHLIGHT_BYTES) return std::nullopt;
  const auto definition = compiled(language);
  if (!definition) return std::nullopt;
  return colour(*definition, code, palette);
}

bool CodeHighlighter::failed(std::string_view file) const { return engine_->failed.contains(file); }

std::vector<std::string> CodeHighlighter::take_failures() {
  return std::exchange(engine_->failures, {});
}

fs::path default_language_dir() {
  if (const auto program = platform::current_executable()) {
    const fs::path beside =
        program->parent_path().parent_path() / "share" / "velmora" / "source-highlight";
    std::error_code ec;
    if (fs::is_regular_file(beside / "lang.map", ec)) return beside;
  }
  return "/usr/share/source-highlight";
}

namespace {

// Blocks are highlighted on worker threads as well as on the event loop; one highlighter per
// folder keeps each definition compiled once for the whole process.
std::mutex shared_mutex;
std::mutex matching_mutex;

CodeHighlighter& shared_highlighter(const fs::path& language_dir) {
  // Never destroyed: a job past its deadline may still be colouring on a worker while the
  // process exits, and must not find its definitions freed under it.
  static auto& highlighters = *new std::map<fs::path, std::unique_ptr<CodeHighlighter>>;
  static const fs::path& fallback = *new fs::path(default_language_dir());
  const fs::path& dir = language_dir.empty() ? fallback : language_dir;
  auto& highlighter = highlighters[dir];
  if (!highlighter) highlighter = std::make_unique<CodeHighlighter>(dir);
  return *highlighter;
}

}  // namespace

std::optional<std::vector<Line>> highlight_code(std::string_view language, std::string_view code,
                                                const CodePalette& palette,
                                                const fs::path& language_dir) {
  if (code.size() > MAX_HIGHLIGHT_BYTES) return std::nullopt;
  std::shared_ptr<const CodeHighlighter::Compiled> definition;
  {
    const std::lock_guard lock(shared_mutex);
    definition = shared_highlighter(language_dir).compiled(language);
  }
  if (!definition) return std::nullopt;
  // Apart from the lookup, so the event loop asking about a language never waits for a worker's
  // block; still one block at a time, so that try_highlight_code can tell the loop a worker is
  // colouring (the matcher itself only reads the shared definition).
  const std::lock_guard lock(matching_mutex);
  return CodeHighlighter::colour(*definition, code, palette);
}

bool try_highlight_code(std::string_view language, std::string_view code,
                        const CodePalette& palette, const fs::path& language_dir,
                        std::optional<std::vector<Line>>& lines) {
  lines.reset();
  if (code.size() > MAX_HIGHLIGHT_BYTES) return true;
  std::shared_ptr<const CodeHighlighter::Compiled> definition;
  {
    const std::lock_guard lock(shared_mutex);
    definition = shared_highlighter(language_dir).compiled(language);
  }
  if (!definition) return true;
  const std::unique_lock lock(matching_mutex, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  lines = CodeHighlighter::colour(*definition, code, palette);
  return true;
}

bool can_highlight(std::string_view language, const fs::path& language_dir) {
  const std::lock_guard lock(shared_mutex);
  CodeHighlighter& highlighter = shared_highlighter(language_dir);
  const auto file = highlighter.definition_for(language);
  return file && !highlighter.failed(*file);
}

std::vector<std::string> take_definition_failures(const fs::path& language_dir) {
  const std::lock_guard lock(shared_mutex);
  return shared_highlighter(language_dir).take_failures();
}

}  // namespace velmora::renderer
