// The OpenSSL functions our libraries call, defined here as forwarders into libvelmora_tls.so,
// which this library loads on the first call. OpenSSL's tables of pointers (object identifiers,
// ciphers, error strings) are a third of a megabyte the loader must relocate, a page fault per
// page, and a run over ws:// never uses them: so they load with the first TLS connection.
//
// Every TLS use starts with a client context (cli/tls), which asks velmora_tls_library_error()
// first, so a missing or damaged file is reported as an error of that connection.
//
// Each forwarder carries the prototype of OpenSSL's own header, which the compiler checks. The
// list below is also what libvelmora_tls.so exports (cmake/VelmoraRuntime.cmake reads it); a
// function our code starts to use without an entry here fails the link of the library using it.
#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "velmora/base/installation.hpp"

#define VELMORA_TLS_FUNCTIONS(X)            \
  X(BIO_ctrl)                               \
  X(BIO_ctrl_pending)                       \
  X(BIO_free)                               \
  X(BIO_new_bio_pair)                       \
  X(BIO_read)                               \
  X(BIO_write)                              \
  X(ERR_clear_error)                        \
  X(ERR_get_error)                          \
  X(ERR_lib_error_string)                   \
  X(ERR_peek_last_error)                    \
  X(ERR_reason_error_string)                \
  X(EVP_EncodeBlock)                        \
  X(SSL_CTX_ctrl)                           \
  X(SSL_CTX_free)                           \
  X(SSL_CTX_get_default_passwd_cb_userdata) \
  X(SSL_CTX_get_ex_data)                    \
  X(SSL_CTX_get_verify_callback)            \
  X(SSL_CTX_load_verify_locations)          \
  X(SSL_CTX_new)                            \
  X(SSL_CTX_set_default_passwd_cb_userdata) \
  X(SSL_CTX_set_ex_data)                    \
  X(SSL_CTX_set_options)                    \
  X(SSL_CTX_set_verify)                     \
  X(SSL_accept)                             \
  X(SSL_connect)                            \
  X(SSL_ctrl)                               \
  X(SSL_free)                               \
  X(SSL_get0_param)                         \
  X(SSL_get_error)                          \
  X(SSL_get_ex_data)                        \
  X(SSL_get_shutdown)                       \
  X(SSL_get_verify_result)                  \
  X(SSL_new)                                \
  X(SSL_read)                               \
  X(SSL_set_bio)                            \
  X(SSL_set_ex_data)                        \
  X(SSL_shutdown)                           \
  X(SSL_write)                              \
  X(TLS_client_method)                      \
  X(TLS_method)                             \
  X(TLS_server_method)                      \
  X(X509_VERIFY_PARAM_set1_host)            \
  X(X509_VERIFY_PARAM_set1_ip_asc)          \
  X(X509_VERIFY_PARAM_set_hostflags)        \
  X(X509_verify_cert_error_string)

namespace {

constexpr const char* LIBRARY = "libvelmora_tls.so";

struct Functions {
#define VELMORA_TLS_SLOT(name) decltype(&::name) name = nullptr;
  VELMORA_TLS_FUNCTIONS(VELMORA_TLS_SLOT)
#undef VELMORA_TLS_SLOT
  std::string error;  // empty once every function is found
};

Functions load() {
  Functions loaded;
  // Beside this library: the loader found it by the same RUNPATH as the rest of ours.
  const std::string path =
      velmora::base::beside_library_of(reinterpret_cast<void*>(&load), LIBRARY);
  // Local: its OpenSSL names must not stand in for these forwarders in anyone's look-up.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    loaded.error = velmora::base::installation_load_error(::dlerror(), path);
    return loaded;
  }
#define VELMORA_TLS_FIND(name)                                                   \
  loaded.name = reinterpret_cast<decltype(loaded.name)>(::dlsym(handle, #name)); \
  if (loaded.name == nullptr && loaded.error.empty()) {                          \
    loaded.error = velmora::base::installation_mismatch_error(path, #name);      \
  }
  VELMORA_TLS_FUNCTIONS(VELMORA_TLS_FIND)
#undef VELMORA_TLS_FIND
  return loaded;
}

// Loaded once, by whichever thread asks first.
const Functions& functions() {
  static const Functions loaded = load();
  return loaded;
}

// For the forwarders: every path to them starts with a context, which reports a failed load as
// that connection's error, so reaching one without the library is a fault of ours.
const Functions& loaded_functions() {
  const Functions& loaded = functions();
  if (!loaded.error.empty()) {
    std::fprintf(stderr, "velmora: %s\n", loaded.error.c_str());
    std::abort();
  }
  return loaded;
}

}  // namespace

extern "C" {

// Null once OpenSSL is loaded; otherwise what failed and what helps.
const char* velmora_tls_library_error() {
  const Functions& loaded = functions();
  return loaded.error.empty() ? nullptr : loaded.error.c_str();
}

long BIO_ctrl(BIO* bp, int cmd, long larg, void* parg) {
  return loaded_functions().BIO_ctrl(bp, cmd, larg, parg);
}
size_t BIO_ctrl_pending(BIO* b) { return loaded_functions().BIO_ctrl_pending(b); }
int BIO_free(BIO* a) { return loaded_functions().BIO_free(a); }
int BIO_new_bio_pair(BIO** bio1, size_t writebuf1, BIO** bio2, size_t writebuf2) {
  return loaded_functions().BIO_new_bio_pair(bio1, writebuf1, bio2, writebuf2);
}
int BIO_read(BIO* b, void* data, int dlen) { return loaded_functions().BIO_read(b, data, dlen); }
int BIO_write(BIO* b, const void* data, int dlen) {
  return loaded_functions().BIO_write(b, data, dlen);
}
void ERR_clear_error(void) { loaded_functions().ERR_clear_error(); }
unsigned long ERR_get_error(void) { return loaded_functions().ERR_get_error(); }
const char* ERR_lib_error_string(unsigned long e) {
  return loaded_functions().ERR_lib_error_string(e);
}
unsigned long ERR_peek_last_error(void) { return loaded_functions().ERR_peek_last_error(); }
const char* ERR_reason_error_string(unsigned long e) {
  return loaded_functions().ERR_reason_error_string(e);
}
int EVP_EncodeBlock(unsigned char* t, const unsigned char* f, int n) {
  return loaded_functions().EVP_EncodeBlock(t, f, n);
}
long SSL_CTX_ctrl(SSL_CTX* ctx, int cmd, long larg, void* parg) {
  return loaded_functions().SSL_CTX_ctrl(ctx, cmd, larg, parg);
}
void SSL_CTX_free(SSL_CTX* ctx) { loaded_functions().SSL_CTX_free(ctx); }
void* SSL_CTX_get_default_passwd_cb_userdata(SSL_CTX* ctx) {
  return loaded_functions().SSL_CTX_get_default_passwd_cb_userdata(ctx);
}
void* SSL_CTX_get_ex_data(const SSL_CTX* ssl, int idx) {
  return loaded_functions().SSL_CTX_get_ex_data(ssl, idx);
}
SSL_verify_cb SSL_CTX_get_verify_callback(const SSL_CTX* ctx) {
  return loaded_functions().SSL_CTX_get_verify_callback(ctx);
}
int SSL_CTX_load_verify_locations(SSL_CTX* ctx, const char* CAfile, const char* CApath) {
  return loaded_functions().SSL_CTX_load_verify_locations(ctx, CAfile, CApath);
}
SSL_CTX* SSL_CTX_new(const SSL_METHOD* meth) { return loaded_functions().SSL_CTX_new(meth); }
void SSL_CTX_set_default_passwd_cb_userdata(SSL_CTX* ctx, void* u) {
  loaded_functions().SSL_CTX_set_default_passwd_cb_userdata(ctx, u);
}
int SSL_CTX_set_ex_data(SSL_CTX* ssl, int idx, void* data) {
  return loaded_functions().SSL_CTX_set_ex_data(ssl, idx, data);
}
uint64_t SSL_CTX_set_options(SSL_CTX* ctx, uint64_t op) {
  return loaded_functions().SSL_CTX_set_options(ctx, op);
}
void SSL_CTX_set_verify(SSL_CTX* ctx, int mode, SSL_verify_cb callback) {
  loaded_functions().SSL_CTX_set_verify(ctx, mode, callback);
}
int SSL_accept(SSL* ssl) { return loaded_functions().SSL_accept(ssl); }
int SSL_connect(SSL* ssl) { return loaded_functions().SSL_connect(ssl); }
long SSL_ctrl(SSL* ssl, int cmd, long larg, void* parg) {
  return loaded_functions().SSL_ctrl(ssl, cmd, larg, parg);
}
void SSL_free(SSL* ssl) { loaded_functions().SSL_free(ssl); }
X509_VERIFY_PARAM* SSL_get0_param(SSL* ssl) { return loaded_functions().SSL_get0_param(ssl); }
int SSL_get_error(const SSL* s, int ret_code) {
  return loaded_functions().SSL_get_error(s, ret_code);
}
void* SSL_get_ex_data(const SSL* ssl, int idx) {
  return loaded_functions().SSL_get_ex_data(ssl, idx);
}
int SSL_get_shutdown(const SSL* ssl) { return loaded_functions().SSL_get_shutdown(ssl); }
long SSL_get_verify_result(const SSL* ssl) { return loaded_functions().SSL_get_verify_result(ssl); }
SSL* SSL_new(SSL_CTX* ctx) { return loaded_functions().SSL_new(ctx); }
int SSL_read(SSL* ssl, void* buf, int num) { return loaded_functions().SSL_read(ssl, buf, num); }
void SSL_set_bio(SSL* s, BIO* rbio, BIO* wbio) { loaded_functions().SSL_set_bio(s, rbio, wbio); }
int SSL_set_ex_data(SSL* ssl, int idx, void* data) {
  return loaded_functions().SSL_set_ex_data(ssl, idx, data);
}
int SSL_shutdown(SSL* s) { return loaded_functions().SSL_shutdown(s); }
int SSL_write(SSL* ssl, const void* buf, int num) {
  return loaded_functions().SSL_write(ssl, buf, num);
}
const SSL_METHOD* TLS_client_method(void) { return loaded_functions().TLS_client_method(); }
const SSL_METHOD* TLS_method(void) { return loaded_functions().TLS_method(); }
const SSL_METHOD* TLS_server_method(void) { return loaded_functions().TLS_server_method(); }
int X509_VERIFY_PARAM_set1_host(X509_VERIFY_PARAM* param, const char* name, size_t namelen) {
  return loaded_functions().X509_VERIFY_PARAM_set1_host(param, name, namelen);
}
int X509_VERIFY_PARAM_set1_ip_asc(X509_VERIFY_PARAM* param, const char* ipasc) {
  return loaded_functions().X509_VERIFY_PARAM_set1_ip_asc(param, ipasc);
}
void X509_VERIFY_PARAM_set_hostflags(X509_VERIFY_PARAM* param, unsigned int flags) {
  loaded_functions().X509_VERIFY_PARAM_set_hostflags(param, flags);
}
const char* X509_verify_cert_error_string(long n) {
  return loaded_functions().X509_verify_cert_error_string(n);
}

}  // extern "C"
