// The pure half of the Screen: turns "these rows should be shown below the output, with the
// cursor here" into the bytes that get the terminal there from what it shows now.
//
// The region is drawn on the rows below the output. Output text that does not end in a line
// break stays on its line and the region starts on the next one. A repaint compares the new
// rows with the drawn ones and rewrites from the first row that differs. The painter never
// asks the terminal where the cursor is: it counts rows itself, and after a width change it
// assumes the terminal re-wrapped the rows above the cursor to the new width.
//
//   RegionPainter painter;
//   std::string bytes = painter.paint({.rows = {{"> hi", 4}}, .cursor_row = 0, .cursor_col = 4},
//   80); bytes += painter.erase(80);   // back to where the region began
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::term {

struct PaintRow {
  std::string bytes;
  /// Visible columns; at most the terminal width.
  int width = 0;
  friend bool operator==(const PaintRow&, const PaintRow&) = default;
};

struct RegionFrame {
  std::vector<PaintRow> rows;
  int cursor_row = 0;
  int cursor_col = 0;
  bool cursor_visible = true;
};

class RegionPainter {
 public:
  /// Bytes that show `frame` at terminal width `width`. An empty frame erases the region.
  [[nodiscard]] std::string paint(const RegionFrame& frame, int width);
  /// Bytes that remove the region and leave the cursor where output continues.
  [[nodiscard]] std::string erase(int width);
  /// The bytes `erase` would give now, without forgetting the region.
  [[nodiscard]] std::string erase_bytes(int width) const;
  /// Output was written while no region was drawn; tracks the column it ended at.
  void note_output(std::string_view bytes);
  /// Forgets what is drawn (the terminal was used by someone else meanwhile); the cursor is
  /// taken to be at the start of a line.
  void abandon();

  [[nodiscard]] bool drawn() const noexcept { return drawn_; }
  /// Columns of output on the cursor's line (may exceed the width: the line wrapped).
  [[nodiscard]] int output_column() const noexcept { return output_col_; }

 private:
  std::vector<PaintRow> rows_;
  bool drawn_ = false;
  /// Width the drawn rows were laid out for.
  int width_ = 0;
  /// Row of the region the cursor is on (0 = first region row).
  int cursor_row_ = 0;
  int cursor_col_ = 0;
  /// What the terminal's cursor visibility is; unknown after `abandon`.
  enum class Visibility { shown, hidden, unknown } visibility_ = Visibility::shown;
  int output_col_ = 0;
};

}  // namespace velmora::term
