// The one symbol the session library exports; everything else in it stays hidden.
#include "quillon/session_library.hpp"

#include "quillon/program_entry.hpp"

extern "C" int velmora_session_main(int argc, const char* const* argv) noexcept {
  return quillon::program_main(argc, argv);
}
