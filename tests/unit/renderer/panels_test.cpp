#include "panels.hpp"

#include "collection_plan.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using velmora::renderer::banner_lines;
using velmora::renderer::BannerContext;
using velmora::renderer::line_width;
using velmora::term::ColorSystem;
using velmora::term::render_segments;

std::vector<std::string> plain(const std::vector<velmora::renderer::Line>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) out.push_back(render_segments(line, ColorSystem::none));
  return out;
}

TEST(Banner, FrameFitsTheWidthAndShowsWorkspaceFacts) {
  const BannerContext context{"cli-v2026-221-a4b176a", "/home/ana/src/app", "feature/x",
                              "/home/ana"};
  const auto lines =
      banner_lines({.endpoint = "wss://agent.example.test/ws/" + std::string(80, 'p'),
                    .user_id = "u-7",
                    .thread_id = "",
                    .language = "zh"},
                   context, 40, true);
  for (const auto& line : lines) EXPECT_EQ(line_width(line), 40);
  const auto text = plain(lines);
  EXPECT_THAT(text[1], HasSubstr("Velmora CLI cli-v2026-221-a4b176a"));
  EXPECT_THAT(text, Contains(HasSubstr("thread    (awaiting metadata)")));
  EXPECT_THAT(text, Contains(HasSubstr("cwd       ~/src/app")));
  EXPECT_THAT(text, Contains(HasSubstr("branch    feature/x")));
  EXPECT_THAT(text, Contains(HasSubstr("endpoint  wss://agent.example.test/… │")));
}

TEST(Banner, PlainFormHasNoFrameAndKeepsValuesWhole) {
  const BannerContext context{"1.4.0", "/srv/x", "", ""};
  const auto text = plain(banner_lines({.thread_id = "t-\x1b[2J"}, context, 20, false));
  EXPECT_EQ(text[0], "Velmora CLI v1.4.0");
  EXPECT_THAT(text, Contains("thread    t-␛[2J"));
  EXPECT_THAT(text, Contains("branch    -"));
  for (const auto& line : text) EXPECT_EQ(line.find("│"), std::string::npos);
}

}  // namespace

namespace {

TEST(PlanLines, LongPlansShowAWindowAroundTheOpenItem) {
  std::vector<velmora::renderer::PlanItem> items;
  for (int i = 0; i < 30; ++i) {
    items.push_back({"step " + std::to_string(i), i < 12 ? velmora::renderer::PlanStatus::completed
                                                         : velmora::renderer::PlanStatus::pending});
  }
  const auto text = plain(velmora::renderer::plan_lines(items, 40, 5));
  EXPECT_THAT(text, ::testing::ElementsAre("Plan", "  ☑ step 11", "  ☐ step 12", "  ☐ step 13",
                                           "  ☐ step 14", "  ☐ step 15", "  … 25 more"));
  EXPECT_EQ(plain(velmora::renderer::plan_lines(items, 40)).size(), 31u);
}

}  // namespace
