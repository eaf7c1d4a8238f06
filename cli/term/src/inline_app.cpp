#include "velmora/term/inline_app.hpp"

#include <algorithm>

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

AppView InlineApp::layout(int width, int height) const {
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
  const int total = static_cast<int>(view.rows.size());
  int pinned = total;
  const auto row_of = [&](std::size_t i) { return starts[i] + (framed ? 1 : 0); };
  bool focused = false;
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    if (!focused && !options_.focus_style.empty() && fragments[i].style == options_.focus_style) {
      view.focus_row = row_of(i);
      focused = true;
    }
    if (pinned == total && !options_.pinned_style.empty() &&
        fragments[i].style == options_.pinned_style) {
      pinned = row_of(i);
    }
  }
  if (height <= 0 || total <= height || total - pinned >= height) return view;

  // Too tall: the pinned rows stay at the bottom and the rows above them scroll around the
  // focus, so a search or answer line is never pushed off the screen by a long list.
  const int room = height - (total - pinned);
  const int focus = std::min(view.focus_row, pinned - 1);
  const int start = std::clamp(focus - room / 2, 0, pinned - room);
  view.rows.erase(view.rows.begin() + start + room, view.rows.begin() + pinned);
  view.rows.erase(view.rows.begin(), view.rows.begin() + start);
  view.focus_row = focus - start;
  view.cursor_row = static_cast<int>(view.rows.size()) - 1;
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
