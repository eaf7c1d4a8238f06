#pragma once

// A library of the installation loaded when first needed (dlopen): where it is kept, and the
// errors that say what is wrong and what restores it. Header-only: the runtime library uses it
// without the base library.
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace velmora::base {

inline constexpr const char* REINSTALL_ADVICE =
    "Reinstall velmora_cli to restore it: python3 -m pip install --force-reinstall velmora_cli";

/// `file` in the folder of the library holding `address`, where an installation keeps all of
/// its libraries; `file` alone when that folder is unknown.
inline std::string beside_library_of(const void* address, const char* file) {
  Dl_info self{};
  if (::dladdr(address, &self) == 0 || self.dli_fname == nullptr) return file;
  const char* slash = std::strrchr(self.dli_fname, '/');
  if (slash == nullptr) return file;
  return std::string(self.dli_fname, static_cast<std::size_t>(slash - self.dli_fname) + 1) + file;
}

// The loader names our folder as the RUNPATH spelt it (lib/../lib); a message need not.
inline std::string shown_path(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

/// `reason`: dlerror()'s text, or null; `path`: where the installation keeps the file.
inline std::string installation_load_error(const char* reason, const std::string& path) {
  const bool missing = reason != nullptr && std::strstr(reason, "No such file") != nullptr;
  return (missing ? "a file of the installation is missing: " + shown_path(path)
                  : "a file of the installation cannot be loaded: " +
                        std::string(reason != nullptr ? reason : path.c_str())) +
         ". " + REINSTALL_ADVICE;
}

/// A file that loads but lacks `symbol`, which the build it came with defines.
inline std::string installation_mismatch_error(const std::string& path, const char* symbol) {
  return "a file of the installation belongs to another build: " + shown_path(path) + " lacks " +
         symbol + ". " + REINSTALL_ADVICE;
}

}  // namespace velmora::base
