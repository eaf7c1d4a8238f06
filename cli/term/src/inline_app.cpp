#include "velmora/term/inline_app.hpp"

namespace velmora::term {
namespace {

class PanelView final : public ScreenApp {
 public:
  explicit PanelView(const InlineApp& app) : app_(app) {}
  AppView layout(int width, int height) override { return app_.layout(width, height); }

 private:
  const InlineApp& app_;
};

struct DetachOnExit {
  Screen& screen;
  ScreenApp& app;
  ~DetachOnExit() { screen.detach(app, false); }
};

}  // namespace

InlineApp::InlineApp(Screen& screen, InlineAppOptions options, std::function<Fragments()> render,
                     std::function<KeyResult(const Key&)> on_key)
    : screen_(screen),
      options_(std::move(options)),
      render_(std::move(render)),
      on_key_(std::move(on_key)) {}

AppView InlineApp::layout(int width, int) const {
  const Fragments fragments = render_();
  std::vector<int> starts;
  const int inner = std::max(width - 2, 1);
  auto body = layout_fragments(fragments, options_.style, inner, true, &starts);
  auto rows = frame_rows(body, options_.title, width, options_.style);
  const bool framed = rows.size() != body.size();

  AppView view;
  for (const auto& row : rows)
    view.rows.push_back(PaintRow{render_row(row, screen_.colors()), row.width});
  view.cursor_visible = false;
  view.cursor_row = static_cast<int>(view.rows.size()) - 1;
  view.cursor_col = 0;
  view.focus_row = 0;
  if (!options_.focus_style.empty()) {
    for (std::size_t i = 0; i < fragments.size(); ++i) {
      if (fragments[i].style == options_.focus_style) {
        view.focus_row = starts[i] + (framed ? 1 : 0);
        break;
      }
    }
  }
  return view;
}

void InlineApp::invalidate() {
  if (screen_.attached()) screen_.invalidate();
}

boost::asio::awaitable<bool> InlineApp::run() {
  PanelView view(*this);
  screen_.attach(view);
  DetachOnExit guard{screen_, view};
  bool finished = false;
  for (;;) {
    auto key = co_await screen_.read_key();
    if (!key) break;
    const KeyResult result = on_key_(*key);
    if (result == KeyResult::exit) {
      finished = true;
      break;
    }
    if (result == KeyResult::changed && !screen_.key_ready()) screen_.invalidate();
  }
  screen_.detach(view, !options_.erase_when_done);
  co_return finished;
}

std::shared_ptr<Screen> borrow_screen(const boost::asio::any_io_executor& ex, ColorSystem colors) {
  if (Screen* current = Screen::current()) {
    // Not ours to destroy: an empty deleter.
    return std::shared_ptr<Screen>(current, [](Screen*) {});
  }
  ScreenOptions options;
  options.colors = colors;
  return std::make_shared<Screen>(ex, std::move(options));
}

}  // namespace velmora::term
