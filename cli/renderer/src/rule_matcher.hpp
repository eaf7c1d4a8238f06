#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace srchilite {
class HighlightState;
}

namespace velmora::renderer {

/// A language definition's states and rules, as the library compiled them, matched with the
/// library's own rules of precedence but with each rule's search remembered along a line: a rule
/// is searched again only once the cursor has passed the match it found, where the library
/// searches every rule again at every token.
class RuleMatcher {
 public:
  /// Walks every state reachable from `main` and compiles its rules' expressions; `main` and
  /// the states it leads to must outlive the matcher.
  explicit RuleMatcher(const srchilite::HighlightState& main);
  ~RuleMatcher();
  RuleMatcher(const RuleMatcher&) = delete;
  RuleMatcher& operator=(const RuleMatcher&) = delete;

  /// Receives a line's runs, consecutive runs of one element joined as the library's optimised
  /// output joins them.
  class Sink {
   public:
    virtual void run(const std::string& element, std::string_view text) = 0;

   protected:
    ~Sink() = default;
  };

  /// One block: the state reached at the end of a line carries into the next. Throws
  /// std::runtime_error where an expression gives up (its complexity limit) or the definition
  /// makes no progress.
  class Block {
   public:
    explicit Block(const RuleMatcher& matcher);
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    void line(std::string_view text, Sink& sink);

   private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
  };

 private:
  struct Definition;
  std::unique_ptr<Definition> definition_;
};

}  // namespace velmora::renderer
