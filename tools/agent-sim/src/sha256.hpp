// Incremental SHA-256, for digests of uploaded files that never sit whole in memory.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace velmora::agent_sim {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  /// Lower-case hexadecimal digest of everything fed so far; the object can no longer be fed.
  [[nodiscard]] std::string hex_digest();

  /// Digest of one text.
  [[nodiscard]] static std::string of(std::string_view bytes);

 private:
  struct Context;
  std::unique_ptr<Context> ctx_;
};

}  // namespace velmora::agent_sim
