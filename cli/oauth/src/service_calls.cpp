#include "service_calls.hpp"

#include <cctype>
#include <charconv>

#include <boost/json/parse.hpp>

#include "velmora/http/client.hpp"
#include "velmora/http/encoding.hpp"
#include "velmora/platform/secret_mask.hpp"
#include "velmora/base/json_text.hpp"

namespace velmora::oauth::detail {
namespace {

JsonAnswer to_answer(http::Response response) {
  JsonAnswer answer;
  answer.status = response.status;
  answer.text = std::move(response.body);
  boost::system::error_code ec;
  auto value = boost::json::parse(answer.text, ec);
  if (!ec && value.is_object()) answer.object = std::move(value.as_object());
  return answer;
}

}  // namespace

JsonAnswer post_form(const std::string& url,
                     const std::vector<std::pair<std::string, std::string>>& fields,
                     double timeout_seconds) {
  return to_answer(http::send({.method = "POST",
                               .url = url,
                               .headers = {{"Content-Type", std::string(http::FORM_CONTENT_TYPE)},
                                           {"Accept", "application/json"}},
                               .body = http::form_encode(fields),
                               .timeout_seconds = timeout_seconds}));
}

JsonAnswer get_with_bearer(const std::string& url, const std::string& token,
                           double timeout_seconds) {
  http::Request request{.url = url, .timeout_seconds = timeout_seconds};
  request.headers.push_back({"Accept", "application/json"});
  if (!token.empty()) request.headers.push_back({"Authorization", "Bearer " + token});
  return to_answer(http::send(request));
}

std::string text_of(const boost::json::object& object, std::string_view key) {
  const auto* value = object.if_contains(key);
  if (value == nullptr) return {};
  if (value->is_string()) return std::string(value->get_string());
  if (value->is_int64() || value->is_uint64() || value->is_double()) {
    return velmora::base::json_dumps(*value);
  }
  return {};
}

double number_of(const boost::json::object& object, std::string_view key, double fallback) {
  const auto* value = object.if_contains(key);
  if (value == nullptr) return fallback;
  if (value->is_int64()) return static_cast<double>(value->get_int64());
  if (value->is_uint64()) return static_cast<double>(value->get_uint64());
  if (value->is_double()) return value->get_double();
  if (value->is_string()) {
    const auto text = value->get_string();
    double parsed = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec == std::errc() && ptr == text.data() + text.size() && !text.empty()) return parsed;
  }
  return fallback;
}

std::string describe(const JsonAnswer& answer, const std::vector<std::string>& secrets) {
  if (answer.object) {
    const std::string error = text_of(*answer.object, "error");
    const std::string description = text_of(*answer.object, "error_description");
    if (!error.empty()) {
      return platform::mask_secrets(description.empty() ? error : error + ": " + description,
                                    secrets);
    }
  }
  // A successful answer that is not what we expect may still carry tokens (some services answer
  // form-encoded): its body is never shown.
  if (answer.status >= 200 && answer.status < 300) {
    return "HTTP " + std::to_string(answer.status) + ": an answer that is not a JSON object";
  }
  // Masked before it is cut, so that no cut leaves more of a token than its debug form.
  std::string body = platform::mask_secrets(velmora::base::sanitize_utf8(answer.text), secrets);
  constexpr std::size_t MAX_SHOWN = 300;
  if (body.size() > MAX_SHOWN) {
    std::size_t cut = MAX_SHOWN;
    while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80) --cut;
    body = body.substr(0, cut) + "…";
  }
  return "HTTP " + std::to_string(answer.status) + (body.empty() ? "" : ": " + body);
}

std::string normalize_base_url(std::string_view url) {
  while (!url.empty() && std::isspace(static_cast<unsigned char>(url.front()))) {
    url.remove_prefix(1);
  }
  while (!url.empty() &&
         (std::isspace(static_cast<unsigned char>(url.back())) || url.back() == '/')) {
    url.remove_suffix(1);
  }
  return std::string(url);
}

}  // namespace velmora::oauth::detail
