// Small text helpers of the simulator: form decoding, random identifiers, safe file names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::agent_sim {

/// Name/value pairs in the order they were sent.
using FormFields = std::vector<std::pair<std::string, std::string>>;

/// Decodes an `application/x-www-form-urlencoded` text ("+" is a space). Nothing when it is
/// not a valid query string.
[[nodiscard]] std::optional<FormFields> parse_form(std::string_view text);

/// The first value of `name`, or null.
[[nodiscard]] const std::string* form_value(const FormFields& fields, std::string_view name);

/// A random version-4 UUID, 36 lower-case characters with hyphens.
[[nodiscard]] std::string random_uuid();

/// `bytes` random bytes as lower-case hexadecimal.
[[nodiscard]] std::string random_hex(std::size_t bytes);

/// ASCII lower case.
[[nodiscard]] std::string to_lower(std::string_view text);

/// Case-insensitive ASCII comparison.
[[nodiscard]] bool iequals(std::string_view a, std::string_view b) noexcept;

/// A single path component that is safe to create on disk: separators, control characters
/// and a leading dot are replaced by "_", overlong names are cut, and an empty name becomes
/// `fallback`.
[[nodiscard]] std::string safe_file_component(std::string_view name, std::string_view fallback);

/// Current time as ISO 8601 UTC with milliseconds, e.g. 2024-05-01T12:00:00.123Z.
[[nodiscard]] std::string utc_timestamp();

/// Wall-clock seconds since the epoch.
[[nodiscard]] double wall_seconds();

}  // namespace velmora::agent_sim
