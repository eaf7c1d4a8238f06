// The program's entry: console set-up, command line, dispatch to login, logout or a session.
#pragma once

#include <exception>
#include <string>

namespace velmora {

/// Runs the program and returns its exit status: 0 normal end, 1 a failure, 2 an unparseable
/// command line. Never throws; an error that escapes becomes one line on standard error.
[[nodiscard]] int program_main(int argc, const char* const* argv) noexcept;

/// The one-line report of an escaped error: "velmora: <kind>: <message>", with control
/// characters removed so it cannot disturb the terminal.
[[nodiscard]] std::string escaped_error_line(const std::exception& error);

}  // namespace velmora
