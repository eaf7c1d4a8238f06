// The one symbol the session library exports; everything else in it stays hidden.
#include "velmora/session_library.hpp"

#include "velmora/program_entry.hpp"

extern "C" int velmora_session_main(int argc, const char* const* argv) noexcept {
  return velmora::program_main(argc, argv);
}
