// Compiled against Boost 1.74's headers (cli/renderer/CMakeLists.txt): the expressions are the
// library's own, so they are searched with the Boost.Regex the library searches them with.
#include "rule_matcher.hpp"

#include <srchilite/highlightrule.h>
#include <srchilite/highlightstate.h>
#include <srchilite/regexpreprocessor.h>

#include <array>
#include <boost/regex.hpp>
#include <deque>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

namespace velmora::renderer {
namespace {

/// How a search a rule made from an earlier cursor position answers for a later one. The
/// library searches from the cursor as if the line began there: what an expression sees before
/// a position decides only assertions at the cursor itself (`^`, `\b`, `\<` …), except for a
/// look-behind, which may reach further back.
enum class Reuse {
  kept,     // no assertion looks before its position: an earlier search stands
  checked,  // an earlier search stands once a match anchored at the cursor is ruled out
  never,    // searched from the cursor every time, as the library does
};

Reuse reuse_of(std::string_view pattern) {
  Reuse reuse = Reuse::kept;
  bool after_open_bracket = false;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    const char c = pattern[k];
    bool open_bracket = false;
    if (c == '\\' && k + 1 < pattern.size()) {
      const char escaped = pattern[++k];
      if (std::string_view("bB<>`AG").find(escaped) != std::string_view::npos) {
        reuse = Reuse::checked;
      }
    } else if (c == '^' && !after_open_bracket) {
      // Anywhere but straight after a bracket (a negated set); a `^` inside a set only costs
      // an anchored attempt.
      reuse = Reuse::checked;
    } else if (c == '(' && pattern.substr(k, 3) == "(?<") {
      return Reuse::never;  // a look-behind (or a named group, taken for one)
    } else if (c == '[') {
      open_bracket = true;
    }
    after_open_bracket = open_bracket;
  }
  return reuse;
}

/// How every match of an expression begins, where its text and Boost.Regex's own analysis (its
/// searches try no other place) agree: at a line start or at a word start.
enum class Opening { anywhere, line_start, word_start };

Opening opening_of(std::string_view pattern, const boost::regex& regex) {
  while (pattern.starts_with("(?:") || (pattern.starts_with("(") && !pattern.starts_with("(?"))) {
    pattern.remove_prefix(pattern.starts_with("(?:") ? 3 : 1);
  }
  const unsigned restart = regex.get_restart_type();
  if (restart == boost::regbase::restart_line && pattern.starts_with("^")) {
    return Opening::line_start;
  }
  if (restart == boost::regbase::restart_word && pattern.starts_with("\\<")) {
    return Opening::word_start;
  }
  return Opening::anywhere;
}

/// The bytes `\w` matches, as the expressions' traits class them.
using WordBytes = std::array<bool, 256>;

WordBytes word_bytes() {
  const boost::regex word("\\w");
  WordBytes bytes{};
  for (std::size_t c = 0; c < bytes.size(); ++c) {
    const char text = static_cast<char>(c);
    bytes[c] = boost::regex_match(&text, &text + 1, word);
  }
  return bytes;
}

}  // namespace

struct State;

struct Rule {
  const srchilite::HighlightRule* source;
  boost::regex regex;
  Reuse reuse;
  bool several_elements;
  Opening opening = Opening::anywhere;
  const State* next = nullptr;

  /// Whether a match may begin at `at`, the start of the text searched: false only where it
  /// cannot, as its opening `^` does not hold there after the line's beginning, its opening `\<`
  /// needs a word character, or the expression's own table of first bytes (the one its searches
  /// skip by) leaves that byte out.
  [[nodiscard]] bool may_begin(const char* at, const char* end, bool beginning_of_line,
                               const WordBytes& word) const {
    if (opening == Opening::line_start && !beginning_of_line) return false;
    if (opening == Opening::word_start && (at == end || !word[static_cast<unsigned char>(*at)])) {
      return false;
    }
    const unsigned restart = regex.get_restart_type();
    if (regex.can_be_null() ||
        (restart != boost::regbase::restart_any && restart != boost::regbase::restart_word &&
         restart != boost::regbase::restart_line)) {
      return true;
    }
    return at != end && (regex.get_map()[static_cast<unsigned char>(*at)] &
                         boost::BOOST_REGEX_DETAIL_NS::mask_any) != 0;
  }
};

struct State {
  const srchilite::HighlightState* source;
  std::vector<std::shared_ptr<const Rule>> rules;
  /// Where a block keeps this state's searches.
  std::size_t slot;
  /// For a copy whose rules name what the rule that entered it matched: the definition's state.
  const State* original = nullptr;
};

struct RuleMatcher::Definition {
  WordBytes word = word_bytes();
  std::deque<State> states;
  const State* main = nullptr;
};

RuleMatcher::RuleMatcher(const srchilite::HighlightState& main)
    : definition_(std::make_unique<Definition>()) {
  std::map<const srchilite::HighlightState*, State*> compiled;
  std::vector<std::pair<Rule*, const srchilite::HighlightState*>> links;
  std::vector<const srchilite::HighlightState*> pending{&main};
  while (!pending.empty()) {
    const srchilite::HighlightState* source = pending.back();
    pending.pop_back();
    if (compiled.contains(source)) continue;
    State& state = definition_->states.emplace_back();
    state.source = source;
    state.slot = definition_->states.size() - 1;
    compiled.emplace(source, &state);
    for (const srchilite::HighlightRulePtr& rule : source->getRuleList()) {
      const std::string pattern = rule->toString();
      auto compiled_rule =
          std::make_shared<Rule>(Rule{.source = rule.get(),
                                      .regex = boost::regex(pattern),
                                      .reuse = reuse_of(pattern),
                                      .several_elements = rule->getElemList().size() > 1});
      compiled_rule->opening = opening_of(pattern, compiled_rule->regex);
      if (const auto* next = rule->getNextState().get()) {
        links.emplace_back(compiled_rule.get(), next);
        pending.push_back(next);
      }
      state.rules.push_back(std::move(compiled_rule));
    }
  }
  for (const auto& [rule, next] : links) rule->next = compiled.at(next);
  definition_->main = compiled.at(&main);
}

RuleMatcher::~RuleMatcher() = default;

namespace {

/// A rule's last search in the current line.
struct Search {
  std::size_t line = std::numeric_limits<std::size_t>::max();
  std::size_t from = 0;
  bool beginning_of_line = false;
  bool found = false;
  boost::cmatch match;
};

/// Iterations without the cursor moving after which a definition is taken to loop (the
/// library's own loop would not end).
constexpr int MAX_STALLED = 10'000;

boost::match_flag_type flags_for(bool beginning_of_line) {
  return beginning_of_line ? boost::match_default : boost::match_default | boost::match_not_bol;
}

bool only_blanks(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

struct RuleMatcher::Block::Impl {
  const Definition& definition;
  const State* current;
  std::vector<const State*> stack;
  /// Copies of states whose rules name what entered them, one per original and matched text.
  std::deque<State> copies;
  std::map<std::pair<const State*, std::vector<std::string>>, const State*> copy_index;
  std::vector<std::vector<Search>> searches;
  boost::cmatch anchored;
  std::size_t line_number = 0;
  const char* begin = nullptr;
  const char* end = nullptr;
  /// The run being joined (the library's optimised output).
  const std::string* element = nullptr;
  std::string joined;

  explicit Impl(const Definition& d) : definition(d), current(d.main) {
    for (const State& state : d.states) searches.emplace_back(state.rules.size());
  }

  bool search(const Rule& rule, Search& s, std::size_t from, bool beginning_of_line) {
    s.line = line_number;
    s.from = from;
    s.beginning_of_line = beginning_of_line;
    s.found =
        boost::regex_search(begin + from, end, s.match, rule.regex, flags_for(beginning_of_line));
    return s.found;
  }

  /// What the library's search of `rule` from `cursor` finds, from this line's earlier search
  /// where that answers for it.
  const Search* find(const Rule& rule, Search& s, std::size_t cursor, bool beginning_of_line) {
    const auto research = [&] { return search(rule, s, cursor, beginning_of_line) ? &s : nullptr; };
    if (s.line != line_number || s.from > cursor) return research();
    if (s.from == cursor && s.beginning_of_line == beginning_of_line) {
      return s.found ? &s : nullptr;
    }
    const auto start = [&] { return static_cast<std::size_t>(s.match[0].first - begin); };
    switch (rule.reuse) {
      case Reuse::never:
        return research();
      case Reuse::kept:
        if (!s.found) return nullptr;
        return start() >= cursor ? &s : research();
      case Reuse::checked: {
        if (s.found && start() <= cursor) return research();
        if (rule.may_begin(begin + cursor, end, beginning_of_line, definition.word) &&
            boost::regex_search(begin + cursor, end, anchored, rule.regex,
                                flags_for(beginning_of_line) | boost::match_continuous)) {
          s.from = cursor;
          s.beginning_of_line = beginning_of_line;
          s.found = true;
          s.match.swap(anchored);
          return &s;
        }
        return s.found ? &s : nullptr;
      }
    }
    return research();
  }

  void format(const std::string& elem, std::string_view text, Sink& sink) {
    if (text.empty()) return;
    if (element && *element != elem) flush(sink);
    element = &elem;
    joined.append(text);
  }

  void flush(Sink& sink) {
    if (element && !joined.empty()) sink.run(*element, joined);
    element = nullptr;
    joined.clear();
  }

  const State* copy_of(const State& original, std::vector<std::string> matched) {
    auto key = std::make_pair(&original, std::move(matched));
    if (const auto known = copy_index.find(key); known != copy_index.end()) return known->second;
    State& copy = copies.emplace_back();
    copy.source = original.source;
    copy.original = &original;
    copy.slot = searches.size();
    for (const auto& rule : original.rules) {
      if (!rule->source->getNeedsReferenceReplacement()) {
        copy.rules.push_back(rule);
        continue;
      }
      auto replaced = std::make_shared<Rule>(*rule);
      const std::string pattern =
          srchilite::RegexPreProcessor::replace_references(rule->source->toString(), key.second);
      replaced->regex = boost::regex(pattern);
      replaced->reuse = reuse_of(pattern);
      replaced->opening = opening_of(pattern, replaced->regex);
      copy.rules.push_back(std::move(replaced));
    }
    searches.emplace_back(copy.rules.size());
    copy_index.emplace(std::move(key), &copy);
    return &copy;
  }

  /// The state a matched rule enters, as the library's highlighter decides it.
  const State* next_state(const Rule& rule, const boost::cmatch& match) {
    const State* next = rule.source->isNested() ? current : rule.next;
    if (!next || !next->source->getNeedsReferenceReplacement()) return next;
    std::vector<std::string> matched;
    if (rule.source->getHasSubexpressions()) {
      for (std::size_t k = 1; k < match.size(); ++k) matched.push_back(match[k].str());
    }
    return copy_of(next->original ? *next->original : *next, std::move(matched));
  }

  void exit_states(int level) {
    if (level < 0 || stack.size() < static_cast<std::size_t>(level)) {
      current = definition.main;
      stack.clear();
      return;
    }
    stack.resize(stack.size() - static_cast<std::size_t>(level - 1));
    current = stack.back();
    stack.pop_back();
  }

  void line(std::string_view text, Sink& sink) {
    ++line_number;
    begin = text.data();
    end = text.data() + text.size();
    std::size_t cursor = 0;
    bool beginning_of_line = true;
    int stalled = 0;
    while (true) {
      const State& state = *current;
      std::vector<Search>& state_searches = searches[state.slot];
      const Rule* best_rule = nullptr;
      const Search* best = nullptr;
      std::size_t best_prefix = 0;
      std::size_t best_size = 0;
      for (std::size_t k = 0; k < state.rules.size(); ++k) {
        const Rule& rule = *state.rules[k];
        const Search* found = find(rule, state_searches[k], cursor, beginning_of_line);
        if (!found) continue;
        const std::size_t prefix = static_cast<std::size_t>(found->match[0].first - begin) - cursor;
        const std::size_t size = matched_size(rule, found->match);
        // Nearest first, then longest, then the earlier rule; a match after nothing but blanks
        // ends the search (the library's HighlightState::findBestMatch).
        if (best && !(prefix < best_prefix || (prefix == best_prefix && size > best_size))) {
          continue;
        }
        best_rule = &rule;
        best = found;
        best_prefix = prefix;
        best_size = size;
        if (only_blanks(text.substr(cursor, prefix))) break;
      }
      if (!best) {
        if (cursor != text.size())
          format(state.source->getDefaultElement(), text.substr(cursor), sink);
        break;
      }
      if (best_prefix > 0) {
        format(state.source->getDefaultElement(), text.substr(cursor, best_prefix), sink);
      }
      const srchilite::ElemList& elements = best_rule->source->getElemList();
      if (best_rule->several_elements) {
        for (std::size_t k = 1; k < best->match.size() && k - 1 < elements.size(); ++k) {
          if (best->match[k].matched) format(elements[k - 1], view(best->match[k]), sink);
        }
      } else if (!elements.empty()) {
        format(elements.front(), view(best->match[0]), sink);
      }
      if (best_size > 0) beginning_of_line = false;
      if (const State* next = next_state(*best_rule, best->match)) {
        stack.push_back(current);
        current = next;
      } else if (const int level = best_rule->source->getExitLevel(); level != 0) {
        exit_states(level);
      }
      cursor += best_prefix + best_size;
      if (best_prefix + best_size > 0) {
        stalled = 0;
      } else if (++stalled > MAX_STALLED) {
        throw std::runtime_error("language definition makes no progress");
      }
    }
    flush(sink);
  }

  static std::string_view view(const boost::csub_match& sub) {
    return {sub.first, static_cast<std::size_t>(sub.second - sub.first)};
  }

  static std::size_t matched_size(const Rule& rule, const boost::cmatch& match) {
    if (!rule.several_elements) return static_cast<std::size_t>(match[0].length());
    const std::size_t elements = rule.source->getElemList().size();
    std::size_t size = 0;
    for (std::size_t k = 1; k < match.size() && k - 1 < elements; ++k) {
      if (match[k].matched) size += static_cast<std::size_t>(match[k].length());
    }
    return size;
  }
};

RuleMatcher::Block::Block(const RuleMatcher& matcher)
    : impl_(std::make_unique<Impl>(*matcher.definition_)) {}

RuleMatcher::Block::~Block() = default;

void RuleMatcher::Block::line(std::string_view text, Sink& sink) { impl_->line(text, sink); }

}  // namespace velmora::renderer
