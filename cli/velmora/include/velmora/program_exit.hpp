// Ends the program with a status from deep inside a session; `main` catches it.
#pragma once

#include <exception>

namespace velmora {

class ProgramExit : public std::exception {
 public:
  explicit ProgramExit(int status) noexcept : status_(status) {}
  [[nodiscard]] int status() const noexcept { return status_; }
  [[nodiscard]] const char* what() const noexcept override { return "program exit"; }

 private:
  int status_;
};

}  // namespace velmora
