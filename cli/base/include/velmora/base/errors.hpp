// Error kinds shared by the client libraries and the program.
//
// Failures carry fixed English messages. The program's error classifier reads the message and,
// when it is empty, the kind name (`TimeoutError`, `InvalidStatus`, ...), so every kind keeps a
// stable name. An error may record the error that caused it.
//
//   throw velmora::base::TimeoutError("timed out during opening handshake");
//   ...
//   catch (const std::exception& e) { classify(velmora::base::error_kind_name(e), e.what()); }
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora::base {

/// Base of every error kind we raise; `what()` is the user-facing message (may be empty).
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, std::exception_ptr cause = nullptr);
  ~Error() override;

  /// Stable name of the kind, used where the message is empty.
  [[nodiscard]] virtual std::string_view kind_name() const noexcept;
  /// The error this one was raised from, or null.
  [[nodiscard]] const std::exception_ptr& cause() const noexcept { return cause_; }

 private:
  std::exception_ptr cause_;
};

/// A general failure with a fixed message.
class RuntimeError : public Error {
 public:
  using Error::Error;
  [[nodiscard]] std::string_view kind_name() const noexcept override;
};

/// A time limit passed.
class TimeoutError : public Error {
 public:
  using Error::Error;
  [[nodiscard]] std::string_view kind_name() const noexcept override;
};

/// A websocket handshake answered with another status than 101.
class InvalidStatus : public Error {
 public:
  InvalidStatus(int status_code, const std::string& message);
  [[nodiscard]] std::string_view kind_name() const noexcept override;
  [[nodiscard]] int status_code() const noexcept { return status_code_; }

 private:
  int status_code_;
};

/// A socket, name-resolution or TLS failure; the message keeps the system's own text.
class OSError : public Error {
 public:
  explicit OSError(const std::string& message, int code = 0, std::exception_ptr cause = nullptr);
  [[nodiscard]] std::string_view kind_name() const noexcept override;
  [[nodiscard]] int code() const noexcept { return code_; }

 private:
  int code_;
};

/// A local file that should exist does not (or is not a regular file).
class FileNotFoundError : public Error {
 public:
  using Error::Error;
  [[nodiscard]] std::string_view kind_name() const noexcept override;
};

/// A value of the wrong kind was passed by a caller.
class TypeError : public Error {
 public:
  using Error::Error;
  [[nodiscard]] std::string_view kind_name() const noexcept override;
};

/// Kind name of any exception: ours report their own; `std::system_error` is "OSError";
/// anything else "Exception".
[[nodiscard]] std::string error_kind_name(const std::exception& e);

/// The message of an error, or its kind name when the message is empty.
[[nodiscard]] std::string error_text_or_kind(const std::exception& e);

}  // namespace velmora::base
