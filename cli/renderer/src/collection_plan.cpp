#include "collection_plan.hpp"


#include "style_sheet.hpp"
#include "velmora/base/strings.hpp"
#include "velmora/events/message_fields.hpp"
#include "velmora/events/text_clean.hpp"

namespace velmora::renderer {

using events::clean_line;
using events::field_text;
using events::find_field;
using events::first_field_text;
using events::scalar_text;

namespace {

constexpr std::size_t MAX_PLAN_ITEMS = 200;

PlanStatus parse_status(std::string_view raw) {
  const std::string status = base::ascii_lower(raw);
  if (status == "completed" || status == "complete" || status == "done" || status == "finished" ||
      status == "success") {
    return PlanStatus::completed;
  }
  if (status == "in_progress" || status == "in-progress" || status == "running" ||
      status == "active" || status == "doing" || status == "started") {
    return PlanStatus::in_progress;
  }
  return PlanStatus::pending;
}

}  // namespace

std::vector<PlanItem> parse_plan_items(const boost::json::object& msg) {
  const boost::json::value* list = nullptr;
  for (const auto key : {"items", "plan", "steps", "todos"}) {
    list = find_field(msg, key);
    if (list && list->is_array()) break;
    list = nullptr;
  }
  std::vector<PlanItem> items;
  if (!list) return items;
  for (const auto& element : list->get_array()) {
    if (items.size() >= MAX_PLAN_ITEMS) break;
    PlanItem item;
    if (element.is_object()) {
      const auto& object = element.get_object();
      item.title = clean_line(first_field_text(object, {"title", "name", "content", "text"}));
      item.status = parse_status(field_text(object, "status"));
    } else {
      item.title = clean_line(scalar_text(&element));
    }
    if (!item.title.empty()) items.push_back(std::move(item));
  }
  return items;
}

bool plan_finished(const std::vector<PlanItem>& items) {
  if (items.empty()) return false;
  for (const auto& item : items) {
    if (item.status != PlanStatus::completed) return false;
  }
  return true;
}

bool same_plan(const std::vector<PlanItem>& a, const std::vector<PlanItem>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].title != b[i].title) return false;
  }
  return true;
}

Line plan_item_line(const PlanItem& item, int width) {
  static const term::Style pending = style_of("dim");
  static const term::Style active = style_of("bold yellow");
  static const term::Style done = style_of("green");
  static const term::Style done_text = style_of("dim strike");
  Line line;
  append_run(line, term::Style{}, "  ");
  switch (item.status) {
    case PlanStatus::pending:
      append_run(line, pending, "☐ ");
      append_run(line, term::Style{}, item.title);
      break;
    case PlanStatus::in_progress:
      append_run(line, active, "◐ ");
      append_run(line, active, item.title);
      break;
    case PlanStatus::completed:
      append_run(line, done, "☑ ");
      append_run(line, done_text, item.title);
      break;
  }
  return truncate_line(line, width);
}

std::vector<Line> plan_lines(const std::vector<PlanItem>& items, int width, std::size_t max_items) {
  static const term::Style heading = style_of("bold");
  static const term::Style dim = style_of("dim");
  std::vector<Line> lines;
  lines.push_back(Line{term::Segment{heading, "Plan"}});
  std::size_t begin = 0;
  std::size_t end = items.size();
  if (items.size() > max_items) {
    std::size_t open = 0;
    while (open < items.size() && items[open].status == PlanStatus::completed) ++open;
    begin = std::min(open > 0 ? open - 1 : 0, items.size() - max_items);
    end = begin + max_items;
  }
  for (std::size_t i = begin; i < end; ++i) lines.push_back(plan_item_line(items[i], width));
  if (end - begin < items.size()) {
    lines.push_back(
        Line{term::Segment{dim, "  … " + std::to_string(items.size() - (end - begin)) + " more"}});
  }
  return lines;
}

std::string plan_markdown_item(const PlanItem& item) {
  switch (item.status) {
    case PlanStatus::completed:
      return "- [x] " + item.title;
    case PlanStatus::in_progress:
      return "- [ ] " + item.title + " (in progress)";
    case PlanStatus::pending:
      break;
  }
  return "- [ ] " + item.title;
}

}  // namespace velmora::renderer
