#include "velmora/attachment_library.hpp"

#ifdef VELMORA_LAZY_PARCELON
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <string>
#endif

#include "velmora/base/errors.hpp"

namespace velmora {

#ifdef VELMORA_LAZY_PARCELON
namespace {

constexpr const char* LIBRARY = "libparcelon.so.0";
constexpr const char* REINSTALL =
    ". Reinstall velmora_cli to restore it: python3 -m pip install --force-reinstall velmora_cli";

// Where an installation keeps it: beside this library. Only for messages; the loader searches
// this library's RUNPATH, which also covers a build tree.
std::string expected_path() {
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&expected_path), &self) == 0 || self.dli_fname == nullptr) {
    return LIBRARY;
  }
  return (std::filesystem::path(self.dli_fname).parent_path() / LIBRARY)
      .lexically_normal()
      .string();
}

struct Loaded {
  parcelon::UploadAttachments upload = nullptr;
  std::string error;
};

Loaded load() {
  // Local: nothing else should find its names. It needs only libraries already loaded.
  void* handle = ::dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    if (reason != nullptr && std::strstr(reason, "No such file") != nullptr) {
      return {nullptr, "a file of the installation is missing: " + expected_path() + REINSTALL};
    }
    return {nullptr, "a file of the installation cannot be loaded: " +
                         std::string(reason != nullptr ? reason : LIBRARY) + REINSTALL};
  }
  const auto* entry = static_cast<const parcelon::UploadAttachments*>(
      ::dlsym(handle, "parcelon_upload_attachments"));
  if (entry == nullptr || *entry == nullptr) {
    return {nullptr, "a file of the installation belongs to another build: " + expected_path() +
                         " lacks parcelon_upload_attachments" + REINSTALL};
  }
  return {*entry, {}};
}

}  // namespace

parcelon::UploadAttachments attachment_uploader() {
  // Loaded once: the event loop is the only caller.
  static const Loaded loaded = load();
  if (loaded.upload == nullptr) throw velmora::base::RuntimeError(loaded.error);
  return loaded.upload;
}

#else

parcelon::UploadAttachments attachment_uploader() { return &parcelon::upload_attachments; }

#endif

}  // namespace velmora
