// Every binary of the release build carries its own copy of the unwinder (the static archive's
// symbols are hidden, so no binary can share another's), and each copy fills its table of
// register sizes only when it first unwinds. An exception thrown in one binary and caught in
// another calls the catcher's copy, whose table is still empty if that binary never threw:
// the process aborts. Unwinding one frame at load time fills this binary's table.
#include <unwind.h>

namespace {

_Unwind_Reason_Code stop_at_once(_Unwind_Context*, void*) { return _URC_END_OF_STACK; }

[[gnu::constructor]] void prime_unwinder() { _Unwind_Backtrace(stop_at_once, nullptr); }

}  // namespace
