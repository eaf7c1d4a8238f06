#include "velmora/term/line_editor.hpp"

namespace velmora::term {
namespace {

class PromptApp final : public ScreenApp {
 public:
  PromptApp(const EditorState& state, const PromptOptions& options, ColorSystem colors)
      : state_(state), options_(options), colors_(colors) {}

  AppView layout(int width, int height) override {
    return layout_prompt(state_, options_, width, height, colors_, done_);
  }
  void finish() { done_ = true; }

 private:
  const EditorState& state_;
  const PromptOptions& options_;
  ColorSystem colors_;
  bool done_ = false;
};

/// Takes the prompt off the screen if the read ends by an exception or cancellation.
struct DetachOnExit {
  Screen& screen;
  ScreenApp& app;
  ~DetachOnExit() { screen.detach(app, false); }
};

}  // namespace

boost::asio::awaitable<PromptResult> LineEditor::prompt(const PromptOptions& options) {
  EditorState state(history_, options.completer, options.complete_while_typing);
  PromptApp app(state, options, screen_.colors());
  screen_.attach(app);
  DetachOnExit guard{screen_, app};

  PromptResult result;
  for (;;) {
    auto key = co_await screen_.read_key();
    if (!key) {
      result.outcome = PromptOutcome::end_of_input;
      break;
    }
    const EditorAction action = state.handle(*key);
    if (action == EditorAction::accept) {
      result.outcome = PromptOutcome::accepted;
      result.text = state.buffer().text();
      break;
    }
    if (action == EditorAction::interrupt) {
      result.outcome = PromptOutcome::interrupted;
      break;
    }
    if (action == EditorAction::end_of_input) {
      result.outcome = PromptOutcome::end_of_input;
      break;
    }
    if (action == EditorAction::clear_screen) {
      screen_.clear_screen();
      continue;
    }
    // Keys already read (a fast typist, a paste without brackets) are applied before drawing.
    if (!screen_.key_ready()) screen_.invalidate();
  }
  app.finish();
  screen_.detach(app, true);
  co_return result;
}

}  // namespace velmora::term
