// The saved login: tokens in $XDG_CONFIG_HOME/velmora/credentials.json (default ~/.config).
//
// The file is private (mode 0600, folder 0700) and replaced atomically, so a reader sees the old
// or the new login, never half of one; tokens are never written where that privacy cannot be
// had. A file that cannot be read or parsed is no saved login, and `read()` says why. A login
// whose refreshed tokens could not be saved is replaced by a record without tokens that says so
// (`mark_stale`): its refresh token is spent. Writers that read-modify-write (refresh, logout)
// hold `lock_file()` with velmora::platform::FileLock so parallel CLIs take turns.
//
//   TokenStore store = TokenStore::default_location();
//   if (auto login = store.load()) use(login->tokens.access_token);
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "velmora/oauth/credentials.hpp"

namespace velmora::oauth {

struct SavedLogin {
  TokenSet tokens;
  std::string id_token;
  /// The service that issued the tokens (no trailing "/"); empty when unknown.
  std::string oauth_base_url;
  std::string client_id;
};

/// The file's JSON text.
[[nodiscard]] std::string serialize_login(const SavedLogin& login);

/// The login in a file's text, or nothing when it is not a JSON object with an access token.
[[nodiscard]] std::optional<SavedLogin> parse_login(std::string_view text);

/// What the file holds.
struct StoredLogin {
  enum class State {
    none,     ///< no file
    usable,   ///< `login` holds it
    stale,    ///< a record without tokens: the saved login is out of date (`problem` says why)
    damaged,  ///< unreadable or not a login (`problem` says why)
  };
  State state = State::none;
  SavedLogin login;
  std::string problem;
};

class TokenStore {
 public:
  explicit TokenStore(std::filesystem::path file);
  /// credentials.json in the velmora folder of the XDG config home.
  [[nodiscard]] static TokenStore default_location();

  [[nodiscard]] const std::filesystem::path& file() const noexcept { return file_; }
  /// Beside the file; the file itself is replaced on every save, so it cannot carry the lock.
  [[nodiscard]] std::filesystem::path lock_file() const;

  /// What the file holds; never throws.
  [[nodiscard]] StoredLogin read() const;
  /// The saved login, or nothing (none saved, out of date, unreadable, corrupt).
  [[nodiscard]] std::optional<SavedLogin> load() const;
  /// Throws velmora::base::OSError when the file cannot be written or made private (0600 in a 0700
  /// folder); the old one is then kept.
  void save(const SavedLogin& login) const;
  /// Replaces the file with a record that holds no tokens and says why the login is out of
  /// date. Throws velmora::base::OSError when it cannot be written.
  void mark_stale(const SavedLogin& login, const std::string& reason) const;
  /// True when a file existed and was removed. Throws velmora::base::OSError when it cannot be.
  bool clear() const;

 private:
  std::filesystem::path file_;
};

}  // namespace velmora::oauth
