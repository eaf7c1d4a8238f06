// `velmora`. `velmora --version` is answered here, with nothing but the C library loaded: the
// dynamic loader is most of a short run's time, and the C++ runtime alone doubles it. Anything
// else runs in the session library, loaded only then (see velmora/session_library.hpp).
//
// Keep this file free of anything that needs the C++ runtime library (std::string, iostreams,
// exceptions): the program must not link it.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "velmora/constants.hpp"
#include "velmora/session_library.hpp"

#if !defined(VELMORA_SESSION_LIBRARY) || !defined(VELMORA_LIBRARY_DIR_FROM_BIN)
#error "the build names the session library and where libraries sit relative to bin/"
#endif

namespace {

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    // A closed or full output ends the attempt, as it would for the parser's own printing.
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Only the exact request: anything combined with it goes through the parser, which also knows
// to print the version (and to reject what does not parse).
bool asks_only_for_the_version(int argc, char** argv) {
  return argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0);
}

// Beside the program in the build folder, in ../lib once installed: absolute paths, since the
// sanitizers' dlopen does not search this program's RUNPATH, and no LD_LIBRARY_PATH look-up.
// Without /proc the dynamic loader's own search (RUNPATH) is all there is.
void* load_session_library(const char** failure) {
  char program[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program - 1);
  if (length > 0) {
    program[length] = '\0';
    if (char* slash = std::strrchr(program, '/')) *slash = '\0';
    for (const char* relative : {VELMORA_LIBRARY_DIR_FROM_BIN "/", ""}) {
      char path[PATH_MAX];
      const int size =
          std::snprintf(path, sizeof path, "%s/%s%s", program, relative, VELMORA_SESSION_LIBRARY);
      if (size <= 0 || static_cast<std::size_t>(size) >= sizeof path) continue;
      if (::access(path, F_OK) != 0) continue;
      void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
      // A library that exists but cannot load is the answer, not a reason to look further.
      if (library == nullptr) *failure = ::dlerror();
      return library;
    }
  }
  void* library = ::dlopen(VELMORA_SESSION_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) *failure = ::dlerror();
  return library;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only. The leak checker of g++ 12 misreads the dynamic TLS that threads keep
// for a library loaded with dlopen (the session library and its dependencies) and crashes at
// exit; it must not read thread-local storage here. Read once, at start-up, from the program.
extern "C" const char* __lsan_default_options() { return "use_tls=0:print_suppressions=0"; }
#endif

int main(int argc, char** argv) {
  if (asks_only_for_the_version(argc, argv)) {
    const std::string_view version =
        velmora::shown_version(velmora::CLI_RELEASE_TAG, velmora::CLI_BUILD_VERSION);
    write_all(STDOUT_FILENO, "velmora ");
    write_all(STDOUT_FILENO, version);
    write_all(STDOUT_FILENO, "\n");
    return 0;
  }
  const char* failure = VELMORA_SESSION_LIBRARY;
  // The library stays loaded until the process ends: its threads and exit handlers live in it.
  void* library = load_session_library(&failure);
  void* entry = library != nullptr ? ::dlsym(library, velmora::SESSION_ENTRY) : nullptr;
  if (library != nullptr && entry == nullptr) failure = velmora::SESSION_ENTRY;
  if (entry == nullptr) {
    std::fprintf(stderr, "velmora: cannot load the session library: %s\n",
                 failure != nullptr ? failure : VELMORA_SESSION_LIBRARY);
    std::fprintf(stderr, "Reinstall velmora_cli to repair the installation.\n");
    return 1;
  }
  return reinterpret_cast<velmora::SessionEntry>(entry)(argc, argv);
}
