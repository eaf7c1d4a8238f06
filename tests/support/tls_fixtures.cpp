#include "tls_fixtures.hpp"

#include <dlfcn.h>
#include <netdb.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <stdexcept>

#include "test_support.hpp"

// The C library's resolver, except that names under ".test" are the loopback address. Defined
// in the test program, it comes before the C library's for every library the program loads.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  using Resolver = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto next = reinterpret_cast<Resolver>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  if (node != nullptr && std::string_view(node).ends_with(".test")) {
    addrinfo loopback{};
    if (hints != nullptr) loopback = *hints;
    loopback.ai_family = AF_INET;
    loopback.ai_flags |= AI_NUMERICHOST;
    return next("127.0.0.1", service, &loopback, result);
  }
  return next(node, service, hints, result);
}

namespace velmora::testing {

std::string test_host(std::string_view label) { return std::string(label) + ".example.test"; }

void write_hashed_certificate(const std::filesystem::path& dir, const std::string& cert_pem) {
  BIO* bio = BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (cert == nullptr) throw std::runtime_error("not a PEM certificate");
  char name[16];
  std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert));
  X509_free(cert);
  write_file(dir / name, cert_pem);
}

}  // namespace velmora::testing
