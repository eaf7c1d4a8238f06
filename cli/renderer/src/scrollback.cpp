#include "scrollback.hpp"

#include <utility>

namespace velmora::renderer {

Scrollback::Scrollback(std::shared_ptr<term::Console> console) : console_(std::move(console)) {}

void Scrollback::set_before_output(std::function<void(bool answer)> hook) {
  before_output_ = std::move(hook);
}

void Scrollback::print_block(const std::vector<Line>& lines, bool continues) {
  if (lines.empty()) return;
  if (before_output_) before_output_(true);
  print(lines, last != Last::none && !continues);
  last = Last::block;
  ++prints_;
}

void Scrollback::print_lines(const std::vector<Line>& lines) {
  if (lines.empty()) return;
  if (before_output_) before_output_(false);
  print(lines, last == Last::block);
  last = Last::line;
  ++prints_;
}

void Scrollback::print(const std::vector<Line>& lines, bool gap) {
  // A batch of lines at a time, so a huge block is never joined and styled into one string.
  // Styled runs never span a line break, so the bytes are those of one print.
  constexpr std::size_t BATCH_LINES = 256;
  std::vector<Line> batch;
  if (gap) batch.emplace_back();
  for (const Line& line : lines) {
    batch.push_back(line);
    if (batch.size() == BATCH_LINES) {
      console_->print_segments(join_lines(batch));
      batch.clear();
    }
  }
  if (!batch.empty()) console_->print_segments(join_lines(batch));
}

void Scrollback::write_raw(std::string_view text) { console_->write_raw(text); }

}  // namespace velmora::renderer
