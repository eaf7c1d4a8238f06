#include "velmora/oauth/token_store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/json/parse.hpp>

#include "service_calls.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"
#include "velmora/platform/files.hpp"
#include "velmora/platform/paths.hpp"

namespace velmora::oauth {

std::string serialize_login(const SavedLogin& login) {
  boost::json::object o;
  o["access_token"] = login.tokens.access_token;
  o["refresh_token"] = login.tokens.refresh_token;
  o["token_type"] = login.tokens.token_type;
  o["expires_at"] = login.tokens.expires_at;
  if (!login.id_token.empty()) o["id_token"] = login.id_token;
  o["oauth_base_url"] = login.oauth_base_url;
  o["client_id"] = login.client_id;
  return velmora::base::json_dumps(o) + "\n";
}

std::optional<SavedLogin> parse_login(std::string_view text) {
  boost::system::error_code ec;
  const auto value = boost::json::parse(text, ec);
  if (ec || !value.is_object()) return std::nullopt;
  const auto& o = value.as_object();
  SavedLogin login;
  login.tokens.access_token = detail::text_of(o, "access_token");
  if (login.tokens.access_token.empty()) return std::nullopt;
  login.tokens.refresh_token = detail::text_of(o, "refresh_token");
  login.tokens.token_type = detail::text_of(o, "token_type");
  const double expires_at = detail::number_of(o, "expires_at", 0);
  login.tokens.expires_at = expires_at > 0 ? expires_at : 0;
  login.id_token = detail::text_of(o, "id_token");
  login.oauth_base_url = detail::normalize_base_url(detail::text_of(o, "oauth_base_url"));
  login.client_id = detail::text_of(o, "client_id");
  return login;
}

TokenStore::TokenStore(std::filesystem::path file) : file_(std::move(file)) {}

TokenStore TokenStore::default_location() {
  return TokenStore(platform::xdg_config_home() / "velmora" / "credentials.json");
}

std::filesystem::path TokenStore::lock_file() const {
  auto lock = file_;
  lock += ".lock";
  return lock;
}

std::optional<SavedLogin> TokenStore::load() const {
  // A file an older version or the user made readable by others is made private before its
  // tokens are used; it is replaced with mode 0600 on the next save anyway.
  struct stat info {};
  if (::lstat(file_.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & 077) != 0) {
    // Failing to tighten it leaves it as it was; the tokens are still this user's to use.
    (void)::chmod(file_.c_str(), S_IRUSR | S_IWUSR);
  }
  try {
    const auto text = platform::read_file_if_exists(file_);
    if (!text) return std::nullopt;
    return parse_login(*text);
  } catch (const velmora::base::OSError&) {
    // An unreadable file is no usable login; the user can log in again, which replaces it.
    return std::nullopt;
  }
}

void TokenStore::save(const SavedLogin& login) const {
  platform::write_file_atomic(file_, serialize_login(login), 0600);
}

bool TokenStore::clear() const {
  std::error_code ec;
  const bool removed = std::filesystem::remove(file_, ec);
  if (ec) throw velmora::base::OSError(ec.message() + ": '" + file_.string() + "'", ec.value());
  return removed;
}

}  // namespace velmora::oauth
