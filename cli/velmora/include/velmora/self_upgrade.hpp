// Self-upgrade: reinstalls the `velmora_cli` wheel from the package server's link page with the
// pip of the Python environment `velmora` was installed into (the `python3` beside the running
// executable, else `python3` on PATH), once the link page answers. The installer runs as a child
// process without a shell; its output is captured, never shown, and becomes the error text when
// it fails.
//
//   self_upgrade(cfg.wheel_server_url, *console);          // blocks until pip ends
//   co_await self_upgrade_async(cfg.wheel_server_url, console);  // pip on a worker thread
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "velmora/constants.hpp"
#include "velmora/platform/process.hpp"
#include "velmora/term/console.hpp"

namespace velmora {

/// The nine-item installer command line.
[[nodiscard]] std::vector<std::string> build_upgrade_command(const std::string& interpreter,
                                                             const std::string& wheel_server_url);

/// `python3` beside `executable` (when given and runnable), else `python3` on PATH. Throws
/// velmora::base::FileNotFoundError naming both places when neither exists.
[[nodiscard]] std::filesystem::path resolve_upgrade_interpreter(
    const std::optional<std::filesystem::path>& executable);

/// pip reads a link page it cannot fetch as an empty one and reports success, so the page is
/// checked first: an http(s) page must answer without an error status, a local folder (a path or
/// a file: URL) must exist. Throws velmora::base::RuntimeError saying which.
void check_link_page(const std::string& wheel_server_url);

/// The error text of a failed installer run: its error output, else its output (trimmed), else
/// "pip install failed".
[[nodiscard]] std::string upgrade_failure_message(const velmora::platform::CaptureResult& result);

/// Prints the progress lines on `console`; throws velmora::base::RuntimeError with the installer's
/// text when it fails, velmora::base::FileNotFoundError when no interpreter is found.
void self_upgrade(const std::string& wheel_server_url, velmora::term::Console& console);

/// The same with the installer awaited on a worker thread, printing on the calling thread.
boost::asio::awaitable<void> self_upgrade_async(std::string wheel_server_url,
                                                std::shared_ptr<velmora::term::Console> console);

}  // namespace velmora
