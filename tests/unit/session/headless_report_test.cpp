#include "velmora/headless_report.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <boost/json/parse.hpp>

#include "velmora/base/json_text.hpp"

namespace {

namespace json = boost::json;

// The result line is written in pieces around an answer too long for one: it must still be one
// line of JSON with the answer whole and every other member in its place.
TEST(HeadlessReport, AnAnswerLongerThanAWritePieceIsOneResultLine) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  {
    velmora::HeadlessReport report(velmora::OutputFormat::json, {.version = "1.2.3"},
                                   ::fileno(file));
    report.bound("thr", true);
    std::string expected;
    const std::string delta = "é \"q\" \\ 😀\n";
    while (expected.size() < (std::size_t{700} << 10)) {
      report.event(velmora::events::server_event(
                       json::object{{"type", "text_delta"}, {"message_id", "m"}, {"delta", delta}}),
                   false);
      expected += delta;
    }
    expected.pop_back();  // trimmed
    report.event(velmora::events::server_event(json::object{{"type", "complete"}}), false);
    EXPECT_EQ(report.finish(0), 0);

    std::string out;
    std::rewind(file);
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
      out.append(buffer, n);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line";
    const json::object line = json::parse(out).as_object();
    EXPECT_EQ(line.at("answer").as_string(), expected);
    EXPECT_EQ(line.at("type").as_string(), "result");
    EXPECT_EQ(line.at("thread_id").as_string(), "thr");
    EXPECT_EQ(line.at("version").as_string(), "1.2.3");
    // The bytes of the project's one JSON writer, members in the same order.
    EXPECT_EQ(out, velmora::base::json_dumps(line) + "\n");
  }
  std::fclose(file);
}

}  // namespace
