#include "velmora/attachment_library.hpp"

#ifdef VELMORA_LAZY_PARCELON
#include <dlfcn.h>

#include <string>

#include "velmora/base/installation.hpp"
#endif
#include "velmora/base/errors.hpp"

namespace velmora {

#ifdef VELMORA_LAZY_PARCELON
namespace {

constexpr const char* LIBRARY = "libparcelon.so.0";

struct Loaded {
  parcelon::UploadAttachments upload = nullptr;
  std::string error;
};

Loaded load() {
  // Local: nothing else should find its names. It needs only libraries already loaded. By
  // name: this library's RUNPATH finds it, in a build tree too; the messages name where an
  // installation keeps it, beside this library.
  void* handle = ::dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
  const auto where = [] {
    return base::beside_library_of(reinterpret_cast<void*>(&load), LIBRARY);
  };
  if (handle == nullptr) {
    const char* reason = ::dlerror();
    return {nullptr, base::installation_load_error(reason, where())};
  }
  const auto* entry = static_cast<const parcelon::UploadAttachments*>(
      ::dlsym(handle, "parcelon_upload_attachments"));
  if (entry == nullptr || *entry == nullptr) {
    return {nullptr, base::installation_mismatch_error(where(), "parcelon_upload_attachments")};
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
