// An invariant a fuzz target holds besides "no crash": when it fails, the message says which,
// and the abort makes libFuzzer keep the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                     \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", what, __FILE__, __LINE__); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (false)
