// Terminal capabilities and output modes: where the program runs (colour terminal, pipe, chat
// gateway) and what it therefore does (prompt shell, plain output, auto-answered prompts).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/value.hpp>

#include "quillon/options.hpp"
#include "velmora/term/console.hpp"

namespace quillon {

/// True for "1", "true", "yes", "on" (trimmed, any case); absent is false.
[[nodiscard]] bool is_truthy_env(const std::optional<std::string>& value);
/// Trimmed text, or nothing when absent or empty.
[[nodiscard]] std::optional<std::string> clean_optional_str(const std::optional<std::string>& value);

[[nodiscard]] bool is_windows_runtime();
/// Prepares the standard streams (and a Windows console) once, before anything is printed.
void initialize_console_runtime();

[[nodiscard]] std::shared_ptr<velmora::term::Console> build_console(bool plain_output);
void print_console_notice(velmora::term::Console& console, std::string_view text,
                          const std::optional<std::string>& style = std::nullopt);

/// The query configuration (or any part of it) says the Tarnquist Feishu/Lark channel runs us.
[[nodiscard]] bool config_indicates_tarnquist_feishu(const boost::json::value& value);
[[nodiscard]] bool config_indicates_tarnquist_feishu(const std::optional<boost::json::object>& config);

[[nodiscard]] bool should_hide_session_details(const Options& args,
                                               const std::optional<boost::json::object>& config);
[[nodiscard]] bool stdin_is_interactive();
[[nodiscard]] bool stdout_supports_unicode();
[[nodiscard]] bool stdout_supports_ansi();
[[nodiscard]] bool should_use_prompt_shell(const Options& args);
[[nodiscard]] bool should_use_non_interactive(const Options& args,
                                              const std::optional<boost::json::object>& config);
[[nodiscard]] bool should_use_plain_output(const Options& args,
                                           const std::optional<boost::json::object>& config);
[[nodiscard]] std::string resolve_render_profile(bool plain_output);

}  // namespace quillon
