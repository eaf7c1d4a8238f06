// Text encodings for requests: form bodies and URL path segments.
//
//   form_encode({{"grant_type", "refresh_token"}, {"client_id", "velmora cli"}})
//     == "grant_type=refresh_token&client_id=velmora+cli"
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::http {

inline constexpr std::string_view FORM_CONTENT_TYPE = "application/x-www-form-urlencoded";

/// application/x-www-form-urlencoded: unreserved bytes as they are, space as "+", the rest %XX.
[[nodiscard]] std::string form_encode(
    const std::vector<std::pair<std::string, std::string>>& fields);

/// One path segment: unreserved bytes as they are, everything else (including "/") %XX.
[[nodiscard]] std::string encode_path_segment(std::string_view segment);

}  // namespace velmora::http
