#include "velmora/oauth/token_store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/json/parse.hpp>

#include "service_calls.hpp"
#include "velmora/platform/files.hpp"
#include "velmora/platform/paths.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/json_text.hpp"

namespace velmora::oauth {
namespace {

// Marks a record that replaced a login whose refresh token was spent.
constexpr std::string_view STALE_FIELD = "stale";

}  // namespace

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

StoredLogin TokenStore::read() const {
  // A file an older version or the user made readable by others is made private before its
  // tokens are used; it is replaced with mode 0600 on the next save anyway.
  struct stat info {};
  if (::lstat(file_.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & 077) != 0) {
    // Failing to tighten it leaves it as it was; the tokens are still this user's to use.
    (void)::chmod(file_.c_str(), S_IRUSR | S_IWUSR);
  }
  StoredLogin stored;
  std::optional<std::string> text;
  try {
    text = platform::read_file_if_exists(file_);
  } catch (const velmora::base::OSError& e) {
    stored.state = StoredLogin::State::damaged;
    stored.problem = std::string("it cannot be read (") + e.what() + ")";
    return stored;
  }
  if (!text) return stored;
  boost::system::error_code ec;
  const auto value = boost::json::parse(*text, ec);
  if (!ec && value.is_object()) {
    if (const auto* stale = value.as_object().if_contains(STALE_FIELD)) {
      stored.state = StoredLogin::State::stale;
      stored.problem = stale->is_string() ? std::string(stale->get_string()) : "";
      return stored;
    }
  }
  if (auto login = parse_login(*text)) {
    stored.state = StoredLogin::State::usable;
    stored.login = std::move(*login);
    return stored;
  }
  stored.state = StoredLogin::State::damaged;
  stored.problem = ec                   ? "it is not valid JSON (" + ec.message() + ")"
                   : !value.is_object() ? std::string("it is not a JSON object")
                                        : std::string("it holds no access token");
  return stored;
}

std::optional<SavedLogin> TokenStore::load() const {
  auto stored = read();
  if (stored.state != StoredLogin::State::usable) return std::nullopt;
  return std::move(stored.login);
}

void TokenStore::save(const SavedLogin& login) const {
  // Tokens go nowhere that others could read: a folder or file that cannot be made private
  // fails the save.
  platform::make_private_folder(file_.parent_path());
  platform::write_file_atomic(file_, serialize_login(login), 0600);
}

void TokenStore::mark_stale(const SavedLogin& login, const std::string& reason) const {
  // No tokens in it, so it may be written where privacy could not be had.
  boost::json::object o;
  o[STALE_FIELD] = reason;
  o["oauth_base_url"] = login.oauth_base_url;
  o["client_id"] = login.client_id;
  platform::write_file_atomic(file_, velmora::base::json_dumps(o) + "\n", 0600,
                              /*mode_required=*/false);
}

bool TokenStore::clear() const {
  std::error_code ec;
  const bool removed = std::filesystem::remove(file_, ec);
  if (ec) throw velmora::base::OSError(ec.message() + ": '" + file_.string() + "'", ec.value());
  return removed;
}

}  // namespace velmora::oauth
