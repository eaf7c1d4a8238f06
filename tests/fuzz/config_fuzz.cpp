// Arbitrary `--config` text through parse_config_payload.
//
// Invariants: blank text gives nothing; any other text gives an object or the one "config"
// invocation error (no other exception); a strict JSON object comes back unchanged; loose
// notation gives only text, boolean and null values under non-empty keys; and the object,
// written by the project's JSON writer, parses back to the same object.
#include <cstdint>
#include <string>
#include <string_view>

#include <boost/json/parse.hpp>

#include "fuzz_check.hpp"
#include "fuzz_json.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/base/strings.hpp"
#include "velmora/cli_errors.hpp"
#include "velmora/config_payload.hpp"

namespace {

std::optional<boost::json::object> parse_or_error(const std::string& text, bool& failed) {
  failed = false;
  try {
    return velmora::parse_config_payload(text);
  } catch (const velmora::CliInvocationError& error) {
    FUZZ_CHECK(error.category() == "config", "error category is config");
    FUZZ_CHECK(error.summary() == "Invalid --config JSON.", "error summary");
    failed = true;
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool failed = false;
  const auto result = parse_or_error(text, failed);
  const bool blank = velmora::base::trim(text).empty();
  FUZZ_CHECK(blank == (!result && !failed), "nothing exactly for blank text");
  if (!result) return 0;

  boost::system::error_code ec;
  const auto strict = boost::json::parse(velmora::base::trim(text), ec);
  if (!ec && strict.is_object()) {
    FUZZ_CHECK(fuzz::same_json(strict, *result), "a JSON object comes back unchanged");
  } else {
    FUZZ_CHECK(ec, "a JSON value other than an object is an error, not loose notation");
    for (const auto& [key, value] : *result) {
      FUZZ_CHECK(!key.empty(), "loose keys are not empty");
      FUZZ_CHECK(value.is_string() || value.is_bool() || value.is_null(),
                 "loose values are text, booleans or null");
    }
  }

  // Invalid UTF-8 is written as U+FFFD, so distinct loose keys may meet; such text cannot come
  // through a UTF-8 command line anyway.
  if (fuzz::has_non_finite(*result) || !velmora::base::is_valid_utf8(text)) return 0;
  const std::string written = velmora::base::json_dumps(*result);
  bool reparse_failed = false;
  const auto again = parse_or_error(written, reparse_failed);
  FUZZ_CHECK(again.has_value(), "the written object parses again");
  FUZZ_CHECK(fuzz::close_json(*again, *result), "the written object round-trips");
  return 0;
}
