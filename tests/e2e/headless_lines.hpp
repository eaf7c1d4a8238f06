// The JSON lines of `--output-format json|stream-json`, checked line by line against
// schema/headless-output.schema.json (and their order) by tests/tools/check_headless_lines.py.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>

#include "test_support.hpp"

namespace headless_e2e {

namespace json = boost::json;

inline const std::string SCHEMA =
    std::string(VELMORA_TEST_SOURCE_DIR) + "/../schema/headless-output.schema.json";
inline const std::string CHECKER =
    std::string(VELMORA_TEST_SOURCE_DIR) + "/tools/check_headless_lines.py";

/// Each line of `text` parsed (lines that are not JSON objects are left out).
inline std::vector<json::object> parsed_lines(std::string_view text) {
  std::vector<json::object> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    boost::system::error_code ec;
    auto value = json::parse(text.substr(start, end - start), ec);
    if (!ec && value.is_object()) lines.push_back(std::move(value.as_object()));
  }
  return lines;
}

/// Expects the checker to find no fault in `out` read as `format` (json, stream-json, session).
inline void expect_valid_lines(const std::string& out, const std::string& format) {
  velmora::testing::ProcessOptions check;
  check.args = {CHECKER, SCHEMA, format};
  check.stdin_data = out;
  const auto verdict = velmora::testing::run_process("/usr/bin/python3", check);
  EXPECT_EQ(verdict.exit_code, 0) << verdict.out << verdict.err << "\noutput:\n" << out;
}

/// The output's lines, parsed, after the schema and line-order check passed.
inline std::vector<json::object> checked_lines(const velmora::testing::ProcessResult& result,
                                               const std::string& format) {
  expect_valid_lines(result.out, format);
  return parsed_lines(result.out);
}

inline json::object result_of(const velmora::testing::ProcessResult& result,
                              const std::string& format) {
  const auto lines = checked_lines(result, format);
  if (lines.empty()) return {};
  EXPECT_EQ(lines.back().at("exit_code"), result.exit_code) << result.out;
  return lines.back();
}

inline std::vector<std::string> types_of(const std::vector<json::object>& lines) {
  std::vector<std::string> types;
  for (const auto& line : lines) types.emplace_back(line.at("type").as_string());
  return types;
}

}  // namespace headless_e2e
