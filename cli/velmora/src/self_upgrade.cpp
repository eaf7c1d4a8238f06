#include "velmora/self_upgrade.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <variant>

#include "velmora/base/async.hpp"
#include "velmora/base/errors.hpp"
#include "velmora/base/strings.hpp"
#include "velmora/config_payload.hpp"
#include "velmora/http/client.hpp"

namespace velmora {

namespace {

using velmora::term::Console;

bool is_runnable_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> prepare(const std::string& wheel_server_url, Console& console) {
  const auto interpreter = resolve_upgrade_interpreter(velmora::platform::current_executable());
  auto command = build_upgrade_command(interpreter.string(), wheel_server_url);
  console.print("[cyan]Upgrading " + std::string(PACKAGE_NAME) + " from[/cyan] [bold]" +
                Console::escape(wheel_server_url) + "[/bold]");
  return command;
}

velmora::platform::CaptureResult check_then_install(const std::string& wheel_server_url,
                                                    const std::vector<std::string>& command) {
  check_link_page(wheel_server_url);
  return velmora::platform::run_capture(command);
}

void finish(const velmora::platform::CaptureResult& result, Console& console) {
  if (result.exit_code != 0) throw velmora::base::RuntimeError(upgrade_failure_message(result));
  console.print("[bold green]Upgrade complete.[/bold green]");
  console.print("[dim]Restart the CLI to use the newest version.[/dim]");
}

}  // namespace

std::vector<std::string> build_upgrade_command(const std::string& interpreter,
                                               const std::string& wheel_server_url) {
  return {interpreter,
          "-m",
          "pip",
          "install",
          "--upgrade",
          "--no-cache-dir",
          "--find-links",
          wheel_server_url,
          std::string(PACKAGE_NAME)};
}

std::filesystem::path resolve_upgrade_interpreter(
    const std::optional<std::filesystem::path>& executable) {
  // A virtual environment's bin/ holds both the wheel's `velmora` and its own interpreter.
  if (executable) {
    auto beside = executable->parent_path() / "python3";
    if (is_runnable_file(beside)) return beside;
  }
  if (auto on_path = velmora::platform::find_on_path("python3")) return *on_path;
  std::string where = "on PATH";
  if (executable) where = "beside " + executable->string() + " or " + where;
  throw velmora::base::FileNotFoundError("No Python interpreter found to run pip: python3 is not " +
                                         where + ".");
}

void check_link_page(const std::string& wheel_server_url) {
  if (base::istarts_with(wheel_server_url, "http://") ||
      base::istarts_with(wheel_server_url, "https://")) {
    const auto outcome = velmora::http::exchange({.url = wheel_server_url});
    if (const auto* failure = std::get_if<velmora::http::TransportFailure>(&outcome)) {
      std::string reason = "unknown error";
      try {
        std::rethrow_exception(failure->error);
      } catch (const std::exception& e) {
        reason = velmora::base::error_text_or_kind(e);
      }
      throw velmora::base::RuntimeError("Cannot reach the wheel server at " + wheel_server_url +
                                        ": " + reason);
    }
    const auto& response = std::get<velmora::http::Response>(outcome);
    // Redirects are pip's to follow.
    if (response.status >= 400) {
      throw velmora::base::RuntimeError("The wheel server at " + wheel_server_url + " answered " +
                                        std::to_string(response.status) +
                                        (response.reason.empty() ? "" : " " + response.reason) +
                                        ".");
    }
    return;
  }
  // pip also reads a local folder of wheels (a path or a file: URL); other schemes are its own.
  std::string_view path = wheel_server_url;
  if (base::istarts_with(path, "file://")) {
    path.remove_prefix(7);
  } else if (path.find("://") != std::string_view::npos) {
    return;
  }
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::path(path), ec)) {
    throw velmora::base::RuntimeError("The wheel server folder " + std::string(path) +
                                      " does not exist.");
  }
}

std::string upgrade_failure_message(const velmora::platform::CaptureResult& result) {
  if (auto err = base::trim(result.err); !err.empty()) return std::string(err);
  if (auto out = base::trim(result.out); !out.empty()) return std::string(out);
  return "pip install failed";
}

void self_upgrade(const std::string& wheel_server_url, Console& console) {
  const auto command = prepare(wheel_server_url, console);
  finish(check_then_install(wheel_server_url, command), console);
}

boost::asio::awaitable<void> self_upgrade_async(std::string wheel_server_url,
                                                std::shared_ptr<Console> console) {
  // A named job: g++ 12 mishandles a lambda temporary with captures inside a co_await expression.
  auto job = [url = wheel_server_url, command = prepare(wheel_server_url, *console)] {
    return check_then_install(url, command);
  };
  auto result = co_await velmora::base::run_blocking(std::move(job));
  finish(result, *console);
}

}  // namespace velmora
