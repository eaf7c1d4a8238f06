// Where the trust store comes from on systems laid out like the mainstream distributions.
#include "velmora/tls/client_tls.hpp"

#include <gtest/gtest.h>

#include <map>

#include "test_support.hpp"

namespace {

using velmora::testing::TempDir;
using velmora::testing::write_file;
using velmora::tls::find_trust_store;
using velmora::tls::TrustStore;
using velmora::tls::well_known_trust_stores;

struct FakeEnv {
  std::map<std::string, std::string> values;
  std::optional<std::string> operator()(std::string_view name) const {
    const auto it = values.find(std::string(name));
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

TEST(TrustStore, EachDistributionsBundleIsFoundFirstFileFirst) {
  const std::pair<std::string, std::string> layouts[] = {
      {"debian", "/etc/ssl/certs/ca-certificates.crt"},
      {"fedora", "/etc/pki/tls/certs/ca-bundle.crt"},
      {"rhel extracted", "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem"},
      {"opensuse", "/etc/ssl/ca-bundle.pem"},
      {"alpine", "/etc/ssl/cert.pem"},
  };
  for (const auto& [name, bundle] : layouts) {
    TempDir root;
    write_file(root.path().string() + bundle, "pem");
    EXPECT_EQ(find_trust_store(FakeEnv{}, well_known_trust_stores(), root.path().string()),
              (TrustStore{.file = root.path().string() + bundle}))
        << name;
  }

  TempDir both;
  write_file(both.path().string() + "/etc/ssl/certs/0a1b2c3d.0", "pem");
  write_file(both.path().string() + "/etc/ssl/cert.pem", "pem");
  EXPECT_EQ(find_trust_store(FakeEnv{}, well_known_trust_stores(), both.path().string()),
            (TrustStore{.file = both.path().string() + "/etc/ssl/cert.pem"}));
}

TEST(TrustStore, HashedFolderWhenNoBundleAndNothingWhenTheSystemHasNone) {
  TempDir root;
  EXPECT_EQ(find_trust_store(FakeEnv{}, well_known_trust_stores(), root.path().string()),
            std::nullopt);
  std::filesystem::create_directories(root.path() / "etc/ssl/certs");
  EXPECT_EQ(find_trust_store(FakeEnv{}, well_known_trust_stores(), root.path().string()),
            std::nullopt);
  write_file(root.path() / "etc/pki/tls/certs/0a1b2c3d.0", "pem");
  EXPECT_EQ(find_trust_store(FakeEnv{}, well_known_trust_stores(), root.path().string()),
            (TrustStore{.dir = root.path().string() + "/etc/pki/tls/certs"}));
}

TEST(TrustStore, TheVariablesWinAndAreNeverReplacedByTheSystemStore) {
  TempDir root;
  write_file(root.path().string() + "/etc/ssl/cert.pem", "pem");
  write_file(root.path() / "mine.pem", "pem");
  const std::string mine = (root.path() / "mine.pem").string();
  const std::string dir = root.path().string();
  const auto found = [&](FakeEnv env) {
    return find_trust_store(env, well_known_trust_stores(), root.path().string());
  };
  EXPECT_EQ(found({{{"SSL_CERT_FILE", mine}}}), (TrustStore{.file = mine}));
  EXPECT_EQ(found({{{"SSL_CERT_DIR", dir}}}), (TrustStore{.dir = dir}));
  EXPECT_EQ(found({{{"SSL_CERT_FILE", mine}, {"SSL_CERT_DIR", dir}}}),
            (TrustStore{.file = mine, .dir = dir}));
  EXPECT_EQ(found({{{"SSL_CERT_FILE", dir + "/missing.pem"}}}), std::nullopt);
  // Empty values count as unset.
  EXPECT_EQ(found({{{"SSL_CERT_FILE", ""}, {"SSL_CERT_DIR", ""}}}),
            (TrustStore{.file = root.path().string() + "/etc/ssl/cert.pem"}));
}

}  // namespace
