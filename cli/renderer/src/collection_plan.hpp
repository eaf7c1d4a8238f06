// The agent's collection plan: a checklist of items, each pending, in progress or done.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/json/object.hpp>

#include "text_layout.hpp"

namespace velmora::renderer {

enum class PlanStatus { pending, in_progress, completed };

struct PlanItem {
  std::string title;
  PlanStatus status = PlanStatus::pending;
  friend bool operator==(const PlanItem&, const PlanItem&) = default;
};

/// Items of a plan message ("items", else "plan"/"steps"/"todos", also under "payload"). Titles
/// are clean single lines; an item may be a bare title. Bounded in count.
[[nodiscard]] std::vector<PlanItem> parse_plan_items(const boost::json::object& msg);

[[nodiscard]] bool plan_finished(const std::vector<PlanItem>& items);
/// Same titles in the same order (a status change, not a new plan).
[[nodiscard]] bool same_plan(const std::vector<PlanItem>& a, const std::vector<PlanItem>& b);

/// One checklist line: "☐ title", "◐ title" or "☑ title", styled and cut to `width`.
[[nodiscard]] Line plan_item_line(const PlanItem& item, int width);
/// The checklist under a "Plan" heading. With more items than `max_items`, a window of them
/// starting just before the first unfinished one, and a "… N more" line.
[[nodiscard]] std::vector<Line> plan_lines(const std::vector<PlanItem>& items, int width,
                                           std::size_t max_items = SIZE_MAX);
/// The checklist as Markdown task items, for plain output.
[[nodiscard]] std::string plan_markdown_item(const PlanItem& item);

}  // namespace velmora::renderer
