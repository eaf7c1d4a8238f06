#include "upload_receiver.hpp"

#include <cerrno>
#include <cstring>

#include <boost/json/parse.hpp>

#include "text_util.hpp"

namespace velmora::agent_sim {
namespace {

HttpAnswer detail(unsigned status, const std::string& text, std::string outcome) {
  return json_answer(status, {{"detail", text}}, std::move(outcome));
}

// "name.ext", "name-2.ext", "name-3.ext", ... : the first that does not exist yet.
std::filesystem::path free_name(const std::filesystem::path& folder, const std::string& name) {
  std::error_code ec;
  auto candidate = folder / name;
  if (!std::filesystem::exists(candidate, ec)) return candidate;
  const auto dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
  for (int i = 2;; ++i) {
    candidate = folder / (stem + "-" + std::to_string(i) + ext);
    if (!std::filesystem::exists(candidate, ec)) return candidate;
  }
}

}  // namespace

UploadReceiver::UploadReceiver(SimState& state, RequestHead head)
    : state_(state), head_(std::move(head)) {
  if (head_.method != "POST") {
    refusal_ = conclude(detail(405, "method not allowed", "method_not_allowed"), "method");
    return;
  }
  if (const auto problem = token_problem(); !problem.empty()) {
    refusal_ = conclude(detail(401, problem, "invalid_token"), problem);
    return;
  }
  std::string error;
  const auto* content_type = head_.header("Content-Type");
  const auto boundary = multipart_boundary(content_type ? *content_type : "", error);
  if (!boundary) {
    refusal_ = conclude(detail(400, error, "bad_content_type"), error);
    return;
  }
  boundary_ = *boundary;
  parser_ = std::make_unique<MultipartParser>(
      boundary_, MultipartCallbacks{
                     [this](const MultipartFields& fields) { start_file(fields); },
                     [this](std::string_view bytes) { write_file(bytes); },
                 });
}

UploadReceiver::~UploadReceiver() {
  if (!temp_path_.empty()) {
    file_.close();
    std::error_code ec;
    std::filesystem::remove(temp_path_, ec);  // best effort: a leftover is only clutter
  }
}

std::string UploadReceiver::token_problem() const {
  bool any = false;
  const double now = wall_seconds();
  for (const char* name : {"Velmora-Authorization", "x-user-token"}) {
    const auto* token = head_.header(name);
    if (token == nullptr) continue;
    any = true;
    if (!state_.credentials.accepts_session_token(*token, now)) {
      return std::string("token in ") + name + " is not accepted";
    }
  }
  if (!any && state_.options.credentials.strict_session_tokens) return "a token is required";
  return {};
}

void UploadReceiver::start_file(const MultipartFields&) {
  if (!state_.options.upload_dir) return;
  std::error_code ec;
  std::filesystem::create_directories(*state_.options.upload_dir, ec);
  temp_path_ = *state_.options.upload_dir / (".incoming-" + random_uuid());
  file_.open(temp_path_, std::ios::binary | std::ios::trunc);
  if (!file_) write_error_ = "cannot create " + temp_path_.string() + ": " + std::strerror(errno);
}

void UploadReceiver::write_file(std::string_view bytes) {
  digest_.update(bytes);
  if (temp_path_.empty() || !write_error_.empty()) return;
  file_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file_) write_error_ = "cannot write " + temp_path_.string() + ": " + std::strerror(errno);
}

void UploadReceiver::feed(std::string_view bytes) {
  if (parser_ && !parser_->failed()) parser_->feed(bytes);
}

HttpAnswer UploadReceiver::finish() {
  if (!parser_) return fail(400, "no body expected");
  if (!parser_->finish()) {
    return conclude(detail(400, "malformed multipart body: " + parser_->error(), "malformed"),
                    parser_->error());
  }
  if (!write_error_.empty())
    return conclude(detail(500, write_error_, "storage_error"), write_error_);
  const auto& faults = state_.options.faults;
  if (faults.upload_status) {
    HttpAnswer answer;
    answer.status = *faults.upload_status;
    answer.outcome = "fault_status";
    answer.body = faults.upload_body.value_or("{\"detail\": \"simulated upload failure\"}");
    boost::system::error_code ec;
    (void)boost::json::parse(answer.body, ec);
    if (ec) answer.content_type = "text/plain; charset=utf-8";
    return conclude(std::move(answer), {});
  }
  const auto& fields = parser_->fields();
  if (faults.upload_missing_relative_path.value_or(false)) {
    return conclude(json_answer(200, {{"status", "stored"}, {"file_name", fields.file_name}},
                                "fault_missing_relative_path"),
                    {});
  }
  const std::string folder = safe_file_component(fields.thread_id, "_no_thread");
  std::string name = safe_file_component(fields.file_name, "upload");
  if (!temp_path_.empty()) {
    file_.close();
    std::error_code ec;
    const auto dir = *state_.options.upload_dir / folder;
    std::filesystem::create_directories(dir, ec);
    const auto target = free_name(dir, name);
    std::filesystem::rename(temp_path_, target, ec);
    if (ec) {
      const std::string error = "cannot store " + target.string() + ": " + ec.message();
      return conclude(detail(500, error, "storage_error"), error);
    }
    temp_path_.clear();
    name = target.filename().string();
  }
  return conclude(json_answer(200, {{"relative_path", folder + "/" + name}}, "stored"), {});
}

HttpAnswer UploadReceiver::fail(unsigned status, const std::string& reason) {
  return conclude(detail(status, reason, "body_error"), reason);
}

HttpAnswer UploadReceiver::conclude(HttpAnswer answer, const std::string& error) {
  if (concluded_) return answer;
  concluded_ = true;
  boost::json::object headers;
  boost::json::array order;
  for (const auto& [name, value] : head_.headers) {
    headers[to_lower(name)] = value;
    order.emplace_back(name);
  }
  boost::json::object record{{"method", head_.method},
                             {"target", head_.target},
                             {"headers", std::move(headers)},
                             {"header_order", std::move(order)}};
  if (parser_) {
    const auto& fields = parser_->fields();
    record["boundary"] = boundary_;
    record["fields"] =
        boost::json::object{{"thread_id", fields.thread_id}, {"user_id", fields.user_id}};
    record["file_name"] = fields.file_name;
    record["file_name_raw"] = fields.file_name_raw;
    record["content_type"] = fields.content_type;
    record["size"] = fields.file_size;
    if (error.empty()) record["sha256"] = digest_.hex_digest();
  }
  record["status"] = answer.status;
  record["outcome"] = answer.outcome;
  if (!error.empty()) record["error"] = error;
  boost::system::error_code ec;
  const auto body = boost::json::parse(answer.body, ec);
  if (!ec && body.is_object()) {
    if (const auto* path = body.get_object().if_contains("relative_path")) {
      record["relative_path"] = *path;
    }
  }
  state_.recorder.write("upload", record);
  return answer;
}

}  // namespace velmora::agent_sim
