// `velmora`. `velmora --version` is answered here, with nothing but the C library loaded: the
// dynamic loader is most of a short run's time. Anything else runs in the session library,
// loaded only then (see velmora/session_library.hpp).
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

// Functions are bound when first called: a run calls a small part of what the libraries hold,
// and binding every one up front was a sixth of a short run's instructions. A C library too old
// for the build still fails here (version needs are checked at load time); our own libraries
// travel together, so a function missing between them means a damaged installation either way.
constexpr int LOAD_MODE = RTLD_LAZY | RTLD_LOCAL;

struct Location {
  char bin[PATH_MAX] = "";  // the program's folder; empty without /proc
  char lib[PATH_MAX] = "";  // where the installed program's libraries sit
};

// `dir`/`relative` with each leading "../" taken off `dir`, into `out`.
void join(char (&out)[PATH_MAX], const char* dir, const char* relative) {
  std::snprintf(out, sizeof out, "%s", dir);
  while (std::strncmp(relative, "../", 3) == 0) {
    char* slash = std::strrchr(out, '/');
    if (slash == nullptr || slash == out) break;
    *slash = '\0';
    relative += 3;
  }
  const std::size_t used = std::strlen(out);
  std::snprintf(out + used, sizeof out - used, "/%s", relative);
}

Location locate() {
  Location where;
  const ssize_t length = ::readlink("/proc/self/exe", where.bin, sizeof where.bin - 1);
  if (length <= 0) return Location{};
  where.bin[length] = '\0';
  if (char* slash = std::strrchr(where.bin, '/')) *slash = '\0';
  join(where.lib, where.bin, VELMORA_LIBRARY_DIR_FROM_BIN);
  return where;
}

// In ../lib once installed, beside the program in the build folder: absolute paths, since the
// sanitizers' dlopen does not search this program's RUNPATH, and no LD_LIBRARY_PATH look-up.
// Without /proc neither this program nor the loader ($ORIGIN) can tell where it is installed:
// the loader's default search is all there is. `path` receives the file tried, or the
// installed place when there is none.
void* load_session_library(const Location& where, char (&path)[PATH_MAX]) {
  std::snprintf(path, sizeof path, "%s", VELMORA_SESSION_LIBRARY);
  if (where.bin[0] == '\0') return ::dlopen(VELMORA_SESSION_LIBRARY, LOAD_MODE);
  for (const char* dir : {where.lib, where.bin}) {
    char candidate[PATH_MAX];
    join(candidate, dir, VELMORA_SESSION_LIBRARY);
    if (::access(candidate, F_OK) != 0) continue;
#if defined(VELMORA_SESSION_DEPENDENCIES)
    // The libraries of ours that the session library needs, beside it, loaded first by their
    // full paths: the loader then finds each already loaded under the name it needs and
    // searches nothing. Its search of the RUNPATH folder began with the folder's capability
    // subfolders, 19 failed system calls. One that is missing is left to the session library's
    // load, whose error names it.
    for (const char* dependency : {VELMORA_SESSION_DEPENDENCIES}) {
      join(path, dir, dependency);
      if (::access(path, F_OK) == 0 && ::dlopen(path, LOAD_MODE) == nullptr) return nullptr;
    }
#endif
    std::snprintf(path, sizeof path, "%s", candidate);
    // A library that exists but cannot load is the answer, not a reason to look further.
    return ::dlopen(candidate, LOAD_MODE);
  }
  join(path, where.lib, VELMORA_SESSION_LIBRARY);
  return nullptr;
}

// What helps depends on what failed: a file of ours missing or damaged is mended by installing
// the package again; a C library older than the build's is not, and must be said plainly.
void report_load_failure(const Location& where, const char* library, const char* error) {
  static constexpr const char* NO_FILE = ": cannot open shared object file";
  static constexpr const char* VERSION = "version `GLIBC_";
  if (error == nullptr) {
    std::fprintf(stderr, "velmora: a file of the installation is missing: %s\n", library);
  } else if (const char* glibc = std::strstr(error, VERSION)) {
    const char* number = glibc + std::strlen(VERSION);
    const int digits = static_cast<int>(std::strcspn(number, "'"));
    std::fprintf(stderr,
                 "velmora: this system's C library is older than velmora_cli needs (glibc %.*s): "
                 "%s\n",
                 digits, number, error);
    std::fprintf(stderr,
                 "Run it on a system with glibc %.*s or newer, or install velmora_cli there with "
                 "pip, which picks a build the system can run.\n",
                 digits, number);
    return;
  } else if (const char* end = std::strstr(error, NO_FILE)) {
    // The loader names a dependency by the name it searched for; ours sit beside the library.
    const int length = static_cast<int>(end - error);
    if (std::memchr(error, '/', static_cast<std::size_t>(length)) == nullptr &&
        where.lib[0] != '\0') {
      std::fprintf(stderr, "velmora: a file of the installation is missing: %s/%.*s\n", where.lib,
                   length, error);
    } else {
      std::fprintf(stderr, "velmora: a file of the installation is missing: %.*s\n", length, error);
    }
  } else {
    std::fprintf(stderr, "velmora: a file of the installation cannot be loaded: %s\n", error);
  }
  char python[PATH_MAX] = "python3";
  if (where.bin[0] != '\0') {
    char beside[PATH_MAX];
    join(beside, where.bin, "python3");
    if (::access(beside, X_OK) == 0) std::snprintf(python, sizeof python, "%s", beside);
  }
  std::fprintf(stderr,
               "Reinstall velmora_cli to restore it: %s -m pip install --force-reinstall "
               "velmora_cli\n",
               python);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only. The leak checker of g++ 12 misreads the dynamic TLS that threads keep
// for a library loaded with dlopen (the session library and its dependencies) and crashes at
// exit; it must not read thread-local storage here. Read once, at start-up, from the program.
extern "C" const char* __lsan_default_options() { return "use_tls=0:print_suppressions=0"; }
#endif

// Its frame, with the paths it builds (16 KiB), is gone before the session runs: the session's
// stack starts that much higher, and every stack page a run first touches is a page fault.
[[gnu::noinline]] static velmora::SessionEntry load_session_entry() {
  const Location where = locate();
  char path[PATH_MAX];
  // The library stays loaded until the process ends: its threads and exit handlers live in it.
  void* library = load_session_library(where, path);
  if (library == nullptr) {
    // Without a file to try, the loader's own search failed: its message names what it missed.
    const bool tried = std::strchr(path, '/') == nullptr || ::access(path, F_OK) == 0;
    report_load_failure(where, path, tried ? ::dlerror() : nullptr);
    return nullptr;
  }
  void* entry = ::dlsym(library, velmora::SESSION_ENTRY);
  if (entry == nullptr) {
    char what[PATH_MAX + 64];
    std::snprintf(what, sizeof what, "%s lacks %s (it belongs to another build)", path,
                  velmora::SESSION_ENTRY);
    report_load_failure(where, path, what);
    return nullptr;
  }
  return reinterpret_cast<velmora::SessionEntry>(entry);
}

int main(int argc, char** argv) {
  if (asks_only_for_the_version(argc, argv)) {
    const std::string_view version =
        velmora::shown_version(velmora::CLI_RELEASE_TAG, velmora::CLI_BUILD_VERSION);
    write_all(STDOUT_FILENO, "velmora ");
    write_all(STDOUT_FILENO, version);
    write_all(STDOUT_FILENO, "\n");
    return 0;
  }
  const velmora::SessionEntry entry = load_session_entry();
  return entry != nullptr ? entry(argc, argv) : 1;
}
