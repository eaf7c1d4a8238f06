// The session driver's entry: one agent session for the parsed options.
#pragma once

#include "velmora/options.hpp"

namespace velmora {

/// Runs one session on a fresh event loop and returns the exit status (0 normal end, 1 start-up,
/// contract, connect, upgrade or one-shot failure).
int run_cli(const Options& args);

}  // namespace velmora
