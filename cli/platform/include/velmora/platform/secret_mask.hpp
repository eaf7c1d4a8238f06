// The one way a secret may be shown: tokens cut to their debug form wherever they appear in a
// text or a JSON value. Everything printed or logged from a credentials or upload answer goes
// through here.
//
//   auto shown = velmora::platform::mask_secrets(answer_body, {access_token});
//   auto logged = velmora::platform::mask_json(poll_answer);
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

namespace velmora::platform {

/// Fields whose values are secrets at any depth of a JSON value, and after `name=` or
/// `"name":` in a text.
inline constexpr std::array<std::string_view, 4> SECRET_FIELDS = {"access_token", "refresh_token",
                                                                  "id_token", "device_code"};

/// A token as it may be shown: its first 8 characters then "…" (fewer for a short token, so at
/// least half of it stays hidden); whole UTF-8 characters only.
[[nodiscard]] std::string mask_token(std::string_view token);

/// `text` with each of `tokens` replaced by its debug form, and the value of every secret field
/// masked. A token of fewer than 8 characters is masked only where it stands alone (not inside
/// a longer word), so that a short token does not garble the text around it.
[[nodiscard]] std::string mask_secrets(std::string_view text,
                                       const std::vector<std::string>& tokens = {});

/// `value` with every secret field masked at any depth (a value that is not text is hidden
/// whole; an already masked one is left as it is) and `tokens` masked inside every string.
[[nodiscard]] boost::json::value mask_json(const boost::json::value& value,
                                           const std::vector<std::string>& tokens = {});

}  // namespace velmora::platform
