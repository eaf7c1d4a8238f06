// The C library's math functions the session library calls (SQLite's SQL math functions, a few
// roundings of ours), defined here as forwarders into libm, which loads on the first call. Most
// runs call none of them, and loading libm cost every run about 0.3 ms: mapping it, relocating
// it and running the resolvers that pick its variants for the processor.
//
// Each forwarder has the prototype of <math.h>, which the compiler checks. One our code starts
// to call without an entry here makes the session library need libm again, which its build
// refuses (cmake/drop_libm.cmake).
#include <dlfcn.h>
#include <math.h>

#include <cstdio>
#include <cstdlib>

#define VELMORA_UNARY_MATH(X) \
  X(acos)                     \
  X(acosh)                    \
  X(asin)                     \
  X(asinh)                    \
  X(atan)                     \
  X(atanh)                    \
  X(cos)                      \
  X(cosh)                     \
  X(exp)                      \
  X(floor)                    \
  X(log)                      \
  X(sin)                      \
  X(sinh)                     \
  X(sqrt)                     \
  X(tan)                      \
  X(tanh)                     \
  X(trunc)

#define VELMORA_BINARY_MATH(X) \
  X(atan2)                     \
  X(fmod)                      \
  X(pow)

namespace {

// libm is part of the C library's installation: without it the system is broken, not ours.
[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "velmora: the C library's libm.so.6 cannot be used: %s\n", what);
  std::abort();
}

// Loaded once, by whichever thread calls first.
void* find(const char* name) {
  static void* const libm = [] {
    void* handle = ::dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) fail(::dlerror());
    return handle;
  }();
  void* function = ::dlsym(libm, name);
  if (function == nullptr) fail(::dlerror());
  return function;
}

using Unary = double (*)(double);
using Binary = double (*)(double, double);

}  // namespace

extern "C" {

#define VELMORA_FORWARD_UNARY(name)                                   \
  double name(double x) noexcept {                                    \
    static const auto forward = reinterpret_cast<Unary>(find(#name)); \
    return forward(x);                                                \
  }
VELMORA_UNARY_MATH(VELMORA_FORWARD_UNARY)
#undef VELMORA_FORWARD_UNARY

#define VELMORA_FORWARD_BINARY(name)                                   \
  double name(double x, double y) noexcept {                           \
    static const auto forward = reinterpret_cast<Binary>(find(#name)); \
    return forward(x, y);                                              \
  }
VELMORA_BINARY_MATH(VELMORA_FORWARD_BINARY)
#undef VELMORA_FORWARD_BINARY

long long llround(double x) noexcept {
  static const auto forward = reinterpret_cast<long long (*)(double)>(find("llround"));
  return forward(x);
}

}  // extern "C"
