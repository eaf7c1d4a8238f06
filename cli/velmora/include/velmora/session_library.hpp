// The session library: everything `velmora` does beyond `velmora --version`, in a shared library
// that the program loads only when it needs more. The C++ runtime and the websocket, TLS, SQLite
// and Markdown libraries load with it, so `--version` starts as fast as a bare C++ program.
//
//   auto entry = reinterpret_cast<velmora::SessionEntry>(dlsym(library, velmora::SESSION_ENTRY));
//   return entry(argc, argv);
#pragma once

extern "C" {
/// Runs the whole program on the process arguments (velmora::program_main): its exit status.
int velmora_session_main(int argc, const char* const* argv) noexcept;
}

namespace velmora {

/// Name of the entry point the program looks up in the session library.
inline constexpr const char* SESSION_ENTRY = "velmora_session_main";
using SessionEntry = int (*)(int argc, const char* const* argv) noexcept;

}  // namespace velmora
