// JSON exchanges with the credentials service.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace velmora::oauth::detail {

struct JsonAnswer {
  int status = 0;
  std::string text;
  /// The body when it is a JSON object.
  std::optional<boost::json::object> object;

  [[nodiscard]] bool is_success() const noexcept { return status >= 200 && status < 300; }
};

/// POSTs a form. Transport failures throw velmora::base::OSError or velmora::base::TimeoutError.
JsonAnswer post_form(const std::string& url,
                     const std::vector<std::pair<std::string, std::string>>& fields,
                     double timeout_seconds);

/// GETs with "Authorization: Bearer <token>" (none when the token is empty). Transport failures
/// throw velmora::base::OSError or velmora::base::TimeoutError.
JsonAnswer get_with_bearer(const std::string& url, const std::string& token,
                           double timeout_seconds);

/// A text field's value: strings as they are, numbers in their JSON form, anything else "".
[[nodiscard]] std::string text_of(const boost::json::object& object, std::string_view key);

/// A number field, or `fallback` when it is missing or not a number (numeric text is accepted).
[[nodiscard]] double number_of(const boost::json::object& object, std::string_view key,
                               double fallback);

/// "error: description" from an OAuth error answer, else "HTTP <status>: <body>"; `secrets`
/// (the tokens the request carried) and every token field are masked, wherever they appear.
[[nodiscard]] std::string describe(const JsonAnswer& answer,
                                   const std::vector<std::string>& secrets = {});

/// Trimmed, without trailing "/".
[[nodiscard]] std::string normalize_base_url(std::string_view url);

}  // namespace velmora::oauth::detail
