#include "scrollback.hpp"

#include <algorithm>
#include <utility>

namespace velmora::renderer {

Scrollback::Scrollback(std::shared_ptr<term::Console> console) : console_(std::move(console)) {}

void Scrollback::set_before_output(std::function<void(bool answer)> hook) {
  before_output_ = std::move(hook);
}

void Scrollback::set_on_waiting_change(std::function<void()> hook) {
  on_waiting_change_ = std::move(hook);
}

void Scrollback::emit(const std::vector<Line>& lines, bool gap) {
  if (waiting_.empty()) {
    print(lines, gap);
    return;
  }
  waiting_.push_back(Waiting{.gap = gap, .lines = lines});
  if (on_waiting_change_) on_waiting_change_();
}

void Scrollback::print_block(const std::vector<Line>& lines, bool continues) {
  if (lines.empty()) return;
  if (before_output_) before_output_(true);
  emit(lines, last != Last::none && !continues);
  last = Last::block;
  ++prints_;
}

void Scrollback::print_lines(const std::vector<Line>& lines) {
  if (lines.empty()) return;
  if (before_output_) before_output_(false);
  emit(lines, last == Last::block);
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

void Scrollback::write_raw(std::string_view text) {
  if (waiting_.empty()) {
    console_->write_raw(text);
    return;
  }
  waiting_.push_back(Waiting{.raw = std::string(text)});
}

std::uint64_t Scrollback::hold_block(std::vector<Line> plain, bool continues) {
  if (plain.empty()) return 0;
  if (before_output_) before_output_(true);
  const std::uint64_t id = next_held_++;
  waiting_.push_back(
      Waiting{.held = id, .gap = last != Last::none && !continues, .lines = std::move(plain)});
  last = Last::block;
  ++prints_;
  if (on_waiting_change_) on_waiting_change_();
  return id;
}

void Scrollback::after_output(std::function<void()> write) {
  if (waiting_.empty()) {
    write();
    return;
  }
  waiting_.push_back(Waiting{.write = std::move(write)});
}

void Scrollback::write_waiting(Waiting& entry) {
  if (entry.write) {
    entry.write();
    return;
  }
  if (entry.raw) {
    console_->write_raw(*entry.raw);
    return;
  }
  print(entry.lines, entry.gap);
}

void Scrollback::complete_held(std::uint64_t id, std::optional<std::vector<Line>> lines) {
  const auto it = std::find_if(waiting_.begin(), waiting_.end(),
                               [id](const Waiting& entry) { return entry.held == id; });
  if (id == 0 || it == waiting_.end()) return;
  if (lines) it->lines = std::move(*lines);
  it->held = 0;
  std::vector<Waiting> ready;
  while (!waiting_.empty() && waiting_.front().held == 0) {
    ready.push_back(std::move(waiting_.front()));
    waiting_.pop_front();
  }
  if (ready.empty()) return;
  if (on_waiting_change_) on_waiting_change_();
  for (Waiting& entry : ready) write_waiting(entry);
}

void Scrollback::release_held() {
  if (waiting_.empty()) return;
  std::deque<Waiting> ready = std::exchange(waiting_, {});
  if (on_waiting_change_) on_waiting_change_();
  for (Waiting& entry : ready) write_waiting(entry);
}

std::vector<Line> Scrollback::waiting_lines(std::size_t count) const {
  std::vector<Line> out;
  for (auto entry = waiting_.rbegin(); entry != waiting_.rend() && out.size() < count; ++entry) {
    for (auto line = entry->lines.rbegin(); line != entry->lines.rend() && out.size() < count;
         ++line) {
      out.push_back(*line);
    }
    if (entry->gap && out.size() < count) out.emplace_back();
  }
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace velmora::renderer
