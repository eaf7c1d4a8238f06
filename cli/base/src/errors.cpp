#include "velmora/base/errors.hpp"

#include <system_error>

#include <boost/system/system_error.hpp>

namespace velmora::base {

Error::Error(const std::string& message, std::exception_ptr cause)
    : std::runtime_error(message), cause_(std::move(cause)) {}

Error::~Error() = default;

std::string_view Error::kind_name() const noexcept { return "Error"; }
std::string_view RuntimeError::kind_name() const noexcept { return "RuntimeError"; }
std::string_view TimeoutError::kind_name() const noexcept { return "TimeoutError"; }
std::string_view FileNotFoundError::kind_name() const noexcept { return "FileNotFoundError"; }
std::string_view TypeError::kind_name() const noexcept { return "TypeError"; }

InvalidStatus::InvalidStatus(int status_code, const std::string& message)
    : Error(message), status_code_(status_code) {}
std::string_view InvalidStatus::kind_name() const noexcept { return "InvalidStatus"; }

OSError::OSError(const std::string& message, int code, std::exception_ptr cause)
    : Error(message, std::move(cause)), code_(code) {}
std::string_view OSError::kind_name() const noexcept { return "OSError"; }

std::string error_kind_name(const std::exception& e) {
  if (const auto* ours = dynamic_cast<const Error*>(&e)) return std::string(ours->kind_name());
  if (dynamic_cast<const std::system_error*>(&e) != nullptr ||
      dynamic_cast<const boost::system::system_error*>(&e) != nullptr) {
    return "OSError";
  }
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return "MemoryError";
  return "Exception";
}

std::string error_text_or_kind(const std::exception& e) {
  std::string text = e.what();
  if (text.empty()) return error_kind_name(e);
  return text;
}

}  // namespace velmora::base
