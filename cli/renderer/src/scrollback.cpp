#include "scrollback.hpp"

#include <utility>

namespace velmora::renderer {

Scrollback::Scrollback(std::shared_ptr<term::Console> console) : console_(std::move(console)) {}

void Scrollback::set_before_output(std::function<void(bool answer)> hook) {
  before_output_ = std::move(hook);
}

void Scrollback::print_block(const std::vector<Line>& lines) {
  if (lines.empty()) return;
  if (before_output_) before_output_(true);
  std::vector<Line> out;
  if (last != Last::none) out.emplace_back();
  out.insert(out.end(), lines.begin(), lines.end());
  console_->print_segments(join_lines(out));
  last = Last::block;
  ++prints_;
}

void Scrollback::print_lines(const std::vector<Line>& lines) {
  if (lines.empty()) return;
  if (before_output_) before_output_(false);
  std::vector<Line> out;
  if (last == Last::block) out.emplace_back();
  out.insert(out.end(), lines.begin(), lines.end());
  console_->print_segments(join_lines(out));
  last = Last::line;
  ++prints_;
}

void Scrollback::write_raw(std::string_view text) { console_->write_raw(text); }

}  // namespace velmora::renderer
