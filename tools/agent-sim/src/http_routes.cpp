#include "http_routes.hpp"

#include <boost/url/pct_string_view.hpp>

#include "text_util.hpp"

namespace velmora::agent_sim {
namespace {

constexpr std::string_view ACCOUNT_PREFIX = "/api/v1/users/";
constexpr std::string_view ACCOUNT_SUFFIX = "/devevaro_account";

HttpAnswer not_found() { return json_answer(404, {{"detail", "not found"}}, "not_found"); }

HttpAnswer wrong_method(std::string_view allowed) {
  auto answer = json_answer(405, {{"detail", "method not allowed"}}, "method_not_allowed");
  answer.headers.emplace_back("Allow", std::string(allowed));
  return answer;
}

boost::json::object form_json(const FormFields& form) {
  boost::json::object out;
  for (const auto& [key, value] : form) out[key] = value;
  return out;
}

// The user id of an account path, percent-decoded; nothing for other paths.
std::optional<std::string> account_user(std::string_view path) {
  if (path.size() <= ACCOUNT_PREFIX.size() + ACCOUNT_SUFFIX.size() ||
      path.substr(0, ACCOUNT_PREFIX.size()) != ACCOUNT_PREFIX ||
      path.substr(path.size() - ACCOUNT_SUFFIX.size()) != ACCOUNT_SUFFIX) {
    return std::nullopt;
  }
  const auto encoded = path.substr(ACCOUNT_PREFIX.size(),
                                   path.size() - ACCOUNT_PREFIX.size() - ACCOUNT_SUFFIX.size());
  if (encoded.find('/') != std::string_view::npos) return std::nullopt;
  const auto pct = boost::urls::make_pct_string_view(encoded);
  if (!pct || pct->empty()) return std::nullopt;
  return pct->decode();
}

}  // namespace

const std::string* RequestHead::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (iequals(key, name)) return &value;
  }
  return nullptr;
}

std::string_view RequestHead::path() const {
  const std::string_view t = target;
  return t.substr(0, t.find('?'));
}

HttpAnswer handle_http(SimState& state, const RequestHead& head, std::string_view body,
                       double now) {
  const std::string_view path = head.path();
  const std::string authorization =
      head.header("Authorization") ? *head.header("Authorization") : std::string();
  boost::json::object record{{"method", head.method}, {"path", path}};
  HttpAnswer answer;
  bool credentials = true;

  if (path == "/oauth/device/code" || path == "/oauth/token") {
    if (head.method != "POST") {
      answer = wrong_method("POST");
    } else if (const auto form = parse_form(body); !form) {
      answer = json_answer(
          400, {{"error", "invalid_request"}, {"error_description", "malformed form body"}},
          "malformed_form");
    } else {
      record["form"] = form_json(*form);
      answer = path == "/oauth/token"
                   ? state.credentials.token(*form, now)
                   : state.credentials.device_code(*form, state.public_base, now);
    }
  } else if (path == "/oauth/userinfo") {
    record["authorization"] = authorization;
    answer =
        head.method == "GET" ? state.credentials.userinfo(authorization, now) : wrong_method("GET");
  } else if (const auto user = account_user(path)) {
    record["user_id"] = *user;
    record["authorization"] = authorization;
    answer = head.method == "GET" ? state.credentials.account(*user, authorization, now)
                                  : wrong_method("GET");
  } else if (path == "/device") {
    credentials = false;
    answer.content_type = "text/html; charset=utf-8";
    answer.body =
        "<!doctype html><title>Velmora sign-in</title><p>The local agent simulator approves "
        "device logins by itself. You can close this page.</p>\n";
    answer.outcome = "device_page";
  } else if (path == "/healthz") {
    credentials = false;
    answer = json_answer(200, {{"status", "ok"}}, "health");
  } else {
    credentials = false;
    answer = not_found();
  }
  record["status"] = answer.status;
  record["outcome"] = answer.outcome;
  state.recorder.write(credentials ? "credentials" : "http", record);
  state.save_if_changed();
  return answer;
}

}  // namespace velmora::agent_sim
