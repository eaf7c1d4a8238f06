// `.env` loader: KEY=VALUE lines merged into the environment, never overriding a variable that
// is already set. A malformed line is skipped.
#pragma once

#include <filesystem>

namespace quillon {

/// Loads `file` (default: ".env" in the working directory) when it exists.
void load_dotenv(const std::filesystem::path& file = ".env");

}  // namespace quillon
