// The session driver's entry: one agent session for the parsed options.
#pragma once

#include "quillon/options.hpp"

namespace quillon {

/// Runs one session on a fresh event loop and returns the exit status (0 normal end, 1 start-up,
/// contract, connect, upgrade or one-shot failure).
int run_cli(const Options& args);

}  // namespace quillon
