// The rule matcher against the highlighting library's own highlighter, which stays here as the
// reference: every shipped language definition must give the same runs, element for element,
// over real code (the repository's sources, the golden answers' code blocks) and awkward code.
#include "rule_matcher.hpp"

#include <srchilite/formatter.h>
#include <srchilite/formattermanager.h>
#include <srchilite/highlightrule.h>
#include <srchilite/highlightstate.h>
#include <srchilite/langdefmanager.h>
#include <srchilite/regexrulefactory.h>
#include <srchilite/sourcehighlighter.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "code_highlight.hpp"
#include "test_support.hpp"

// The library's definition parser loses a few of its nodes on csharp.lang, once per parse.
extern "C" const char* __lsan_default_suppressions() { return "leak:langdef_parse\n"; }

namespace {

namespace fs = std::filesystem;
using velmora::renderer::RuleMatcher;
using Runs = std::vector<std::pair<std::string, std::string>>;

/// The definitions the program installs (cli/renderer/CMakeLists.txt).
const std::vector<std::string> SHIPPED{
    "c.lang",     "cpp.lang",    "csharp.lang",   "css.lang",  "desktop.lang", "conf.lang",
    "diff.lang",  "go.lang",     "haskell.lang",  "html.lang", "java.lang",    "javascript.lang",
    "json.lang",  "lua.lang",    "makefile.lang", "perl.lang", "php.lang",     "properties.lang",
    "proto.lang", "python.lang", "ruby.lang",     "rust.lang", "scala.lang",   "sh.lang",
    "sql.lang",   "xml.lang",    "zsh.lang"};

// What trips a matcher up: strings and comments left open or closed across lines, escapes,
// here-documents and raw strings (states entered with the text that must end them), nesting,
// names that run into keywords, blanks and tabs before a match, multi-byte text, a carriage
// return, and line-start rules met away from the line's start.
const char* const AWKWARD = R"awkward(
	  	def f(x):	return "a\"b" + 'c\'d' + """doc
still doc """ + r'raw\' + b"\x00"
foobar barfoo if_ _if if(x) while1 for_each elif:else:
1if 2else 0x1Ffor 3.5while x.1def a1.5class 9return v1.81-dev 2>&1 1>&2 0<&-
$HOME1.5 ${x}1.5 @foo1.5 %h1.5 x.y1.5 a->b1.5 $1.5 $_1.5 &x1.5 @1.5 x::y1 'a'1 "b"if 'c'int
apt-get install libboost-json1.81-dev --opt1.5 -o1 x-y1.5 a=b1 ./x1.5
#define X1 1.5 #if1 1 <b>1.5</b> &amp;1 --x1 -x1 /x/1 `a`1 {1}1 [1]x1 (1)if
x = 0x1F + 1e-3 + .5 + 5. + 0b101 + 1_000 + 07 + 3L + 2.5f
/* open comment
   still open */ int y; // line comment \
continued? /* nested /* twice */ */
#include <vector> # not a comment? #!/bin/sh
cat <<EOF
here $HOME ${x:-y} $(date) `cmd`
EOF
cat <<-'END' | grep x
	body
	END
let s = r#"raw "quoted" string"#; let t = R"delim(raw ) string)delim";
char c = '\''; char d = '"'; s = "unterminated
`template ${a + `nested ${b}`} literal`
re = /a\/b[/]c/gi; x = a / b / c;
<!-- html comment --> <a href="x" onclick='y'>t</a> <![CDATA[ x ]]>
{"key": "value", "n": [1, 2.0, -3e+4, true, false, null], "e": "\u00e9\n"}
--- a/file
+++ b/file
@@ -1,3 +1,4 @@ context
-removed
+added
SELECT * FROM t WHERE a = 'it''s' -- comment
$x = @arr[0] . %h{key}; print "$x\n" if $x =~ s/a/b/g;
sub foo { my ($a) = @_; return <<"HERE"; }
text
HERE
key = value ; comment
[section] # comment
name: value # yaml-ish
déjà = "naïve ünïcode" # 日本語のコメント ✓
crlf line
trailing backslash \
    indented under backslash
end
)awkward";

/// The text deltas of a golden answer, joined.
std::string answer_text(const fs::path& jsonl) {
  std::ifstream in(jsonl);
  std::string line;
  std::string text;
  const std::string key = "\"delta\": \"";
  while (std::getline(in, line)) {
    auto at = line.find(key);
    if (at == std::string::npos) continue;
    for (std::size_t k = at + key.size(); k < line.size() && line[k] != '"'; ++k) {
      if (line[k] != '\\') {
        text += line[k];
        continue;
      }
      const char escaped = line[++k];
      switch (escaped) {
        case 'n':
          text += '\n';
          break;
        case 't':
          text += '\t';
          break;
        case 'r':
          text += '\r';
          break;
        case 'u': {
          const unsigned code = std::stoul(line.substr(k + 1, 4), nullptr, 16);
          k += 4;
          if (code < 0x80) {
            text += static_cast<char>(code);
          } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default:
          text += escaped;
      }
    }
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text, std::size_t limit) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (lines.size() < limit && std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> corpus() {
  std::vector<std::string> lines = lines_of(AWKWARD, 1000);
  lines.back() += "\r";
  const fs::path tests = VELMORA_TEST_SOURCE_DIR;
  for (const auto& entry : fs::directory_iterator(tests / "unit/renderer/golden")) {
    if (entry.path().extension() != ".jsonl") continue;
    bool in_code = false;
    for (const std::string& line : lines_of(answer_text(entry.path()), 10'000)) {
      if (line.starts_with("```")) {
        in_code = !in_code;
      } else if (in_code) {
        lines.push_back(line);
      }
    }
  }
  const fs::path root = tests.parent_path();
  for (const char* source : {"cli/renderer/src/markdown.cpp", "scripts/setup", "scripts/bench",
                             "packaging/build_wheel.py", "schema/headless-output.schema.json",
                             "cli/renderer/CMakeLists.txt"}) {
    std::ifstream in(root / source);
    std::stringstream text;
    text << in.rdbuf();
    for (std::string& line : lines_of(text.str(), 45)) lines.push_back(std::move(line));
  }
  return lines;
}

class Recorder final : public srchilite::Formatter {
 public:
  Recorder(std::string element, Runs& runs) : element_(std::move(element)), runs_(runs) {}
  void format(const std::string& text, const srchilite::FormatterParams*) override {
    if (!text.empty()) runs_.emplace_back(element_, text);
  }

 private:
  std::string element_;
  Runs& runs_;
};

class RunSink final : public RuleMatcher::Sink {
 public:
  explicit RunSink(Runs& runs) : runs_(runs) {}
  void run(const std::string& element, std::string_view text) override {
    runs_.emplace_back(element, std::string(text));
  }

 private:
  Runs& runs_;
};

void collect_elements(const srchilite::HighlightStatePtr& state, std::set<std::string>& elements,
                      std::set<const srchilite::HighlightState*>& seen) {
  if (!state || !seen.insert(state.get()).second) return;
  elements.insert(state->getDefaultElement());
  for (const auto& rule : state->getRuleList()) {
    elements.insert(rule->getElemList().begin(), rule->getElemList().end());
    collect_elements(rule->getNextState(), elements, seen);
  }
}

std::string shown(const Runs& runs) {
  std::string out;
  for (const auto& [element, text] : runs) out += element + "[" + text + "] ";
  return out;
}

TEST(RuleMatcher, GivesTheLibrarysRunsForEveryShippedLanguage) {
  const std::vector<std::string> lines = corpus();
  ASSERT_GT(lines.size(), 200u);
  const fs::path dir = velmora::renderer::default_language_dir();
  srchilite::RegexRuleFactory factory;
  srchilite::LangDefManager definitions(&factory);
  for (const std::string& file : SHIPPED) {
    SCOPED_TRACE(file);
    srchilite::HighlightStatePtr main;
    ASSERT_NO_THROW(main = definitions.getHighlightState(dir.string(), file));

    std::set<std::string> elements;
    std::set<const srchilite::HighlightState*> seen;
    collect_elements(main, elements, seen);
    Runs expected;
    srchilite::FormatterManager formatters(
        srchilite::FormatterPtr(new Recorder("(default)", expected)));
    for (const std::string& element : elements) {
      formatters.addFormatter(element, srchilite::FormatterPtr(new Recorder(element, expected)));
    }
    srchilite::SourceHighlighter reference(main);
    reference.setFormatterManager(&formatters);
    reference.setOptimize(true);

    const RuleMatcher matcher(*main);
    RuleMatcher::Block block(matcher);
    Runs runs;
    RunSink sink(runs);
    int mismatches = 0;
    for (std::size_t k = 0; k < lines.size() && mismatches < 3; ++k) {
      expected.clear();
      runs.clear();
      reference.highlightParagraph(lines[k]);
      block.line(lines[k], sink);
      if (runs != expected) {
        ++mismatches;
        ADD_FAILURE() << "line " << k << ": " << lines[k] << "\n  library: " << shown(expected)
                      << "\n  matcher: " << shown(runs);
      }
    }
  }
}

}  // namespace
