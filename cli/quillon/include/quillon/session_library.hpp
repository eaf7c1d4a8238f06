// The session library: everything `velmora` does beyond parsing its command line, in a shared
// library that the program loads only when a session, login or logout needs it. The websocket,
// TLS, SQLite and Markdown libraries load with it, so `velmora --version`, `--help` and usage
// errors start about as fast as a bare C++ program.
//
//   auto entry = reinterpret_cast<quillon::SessionEntry>(dlsym(library, quillon::SESSION_ENTRY));
//   return entry(argc, argv);
#pragma once

extern "C" {
/// Runs the whole program on the process arguments (quillon::program_main): its exit status.
int velmora_session_main(int argc, const char* const* argv) noexcept;
}

namespace quillon {

/// Name of the entry point the program looks up in the session library.
inline constexpr const char* SESSION_ENTRY = "velmora_session_main";
using SessionEntry = int (*)(int argc, const char* const* argv) noexcept;

}  // namespace quillon
