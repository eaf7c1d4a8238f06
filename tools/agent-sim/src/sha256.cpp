#include "sha256.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace velmora::agent_sim {

struct Sha256::Context {
  EVP_MD_CTX* md = nullptr;
  ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Context>()) {
  ctx_->md = EVP_MD_CTX_new();
  if (ctx_->md == nullptr || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is unavailable");
  }
}

Sha256::~Sha256() = default;

void Sha256::update(std::string_view bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(ctx_->md, bytes.data(), bytes.size());
}

std::string Sha256::hex_digest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_->md, digest, &len);
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out.push_back(DIGITS[digest[i] >> 4]);
    out.push_back(DIGITS[digest[i] & 0x0f]);
  }
  return out;
}

std::string Sha256::of(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.hex_digest();
}

}  // namespace velmora::agent_sim
