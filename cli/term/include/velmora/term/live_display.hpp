// A few lines kept at the bottom of the output and redrawn in place (the live status line, a
// sticky collection plan). Output printed through the console meanwhile appears above them.
// The terminal `Screen` implements it; the renderer only sees this interface.
#pragma once

#include <string>
#include <vector>

namespace velmora::term {

class LiveDisplay {
 public:
  virtual ~LiveDisplay() = default;
  /// Replaces the live lines (rendered bytes, one entry per screen line, no line breaks).
  /// An empty list removes them and leaves nothing behind.
  virtual void update(std::vector<std::string> lines) = 0;
  /// Removes the live lines after writing `lines` into the scrollback where they stood (a
  /// finished plan stays visible).
  virtual void commit(std::vector<std::string> lines) = 0;
};

}  // namespace velmora::term
