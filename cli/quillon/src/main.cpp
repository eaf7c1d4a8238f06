// `velmora`. The parser alone answers --version, --help and usage errors; anything else runs in
// the session library, loaded only then (see quillon/session_library.hpp).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "quillon/options.hpp"
#include "quillon/program_exit.hpp"
#include "quillon/session_library.hpp"

#if !defined(VELMORA_SESSION_LIBRARY) || !defined(VELMORA_LIBRARY_DIR_FROM_BIN)
#error "the build names the session library and where libraries sit relative to bin/"
#endif

namespace {

// Beside the program in the build folder, in ../lib once installed. An absolute path, as the
// sanitizers' dlopen would not search this program's RUNPATH, and no LD_LIBRARY_PATH look-up.
std::vector<std::string> session_library_paths() {
  std::vector<std::string> paths;
  std::error_code ec;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto folder = program.parent_path();
    paths.push_back((folder / VELMORA_LIBRARY_DIR_FROM_BIN / VELMORA_SESSION_LIBRARY).string());
    paths.push_back((folder / VELMORA_SESSION_LIBRARY).string());
  }
  // Without /proc, the dynamic loader's own search (RUNPATH) is all we have.
  paths.emplace_back(VELMORA_SESSION_LIBRARY);
  return paths;
}

void* load_session_library(std::string& failure) {
  for (const auto& path : session_library_paths()) {
    if (path.find('/') != std::string::npos && ::access(path.c_str(), F_OK) != 0) continue;
    if (void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return library;
    const char* reason = ::dlerror();
    failure = reason != nullptr ? reason : path;
    // A library that exists but cannot load is the answer, not a reason to look further.
    if (path.find('/') != std::string::npos) break;
  }
  return nullptr;
}

// The library stays loaded until the process ends: its threads and exit handlers live in it.
int run_session_library(int argc, char** argv) {
  std::string failure = VELMORA_SESSION_LIBRARY;
  void* library = load_session_library(failure);
  void* entry = library != nullptr ? ::dlsym(library, quillon::SESSION_ENTRY) : nullptr;
  if (library != nullptr && entry == nullptr) failure = quillon::SESSION_ENTRY;
  if (entry == nullptr) {
    std::fprintf(stderr, "velmora: cannot load the session library: %s\n", failure.c_str());
    std::fprintf(stderr, "Reinstall velmora_cli to repair the installation.\n");
    return 1;
  }
  return reinterpret_cast<quillon::SessionEntry>(entry)(argc, argv);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only. The leak checker of g++ 12 misreads the dynamic TLS that threads keep
// for a library loaded with dlopen (the session library and its dependencies) and crashes at
// exit; it must not read thread-local storage here. Read once, at start-up, from the program.
extern "C" const char* __lsan_default_options() { return "use_tls=0:print_suppressions=0"; }
#endif

int main(int argc, char** argv) {
  try {
    // The session parses again; parsing has no effects beyond these exits.
    (void)quillon::parse_args(argc, argv);
  } catch (const quillon::ProgramExit& exit) {
    std::cout.flush();
    return exit.status();
  } catch (const std::exception& error) {
    std::cout.flush();
    std::fprintf(stderr, "velmora: %s\n", error.what());
    return 1;
  }
  return run_session_library(argc, argv);
}
