// Command line of velmora-agent-sim. Every option is listed in tools/agent-sim/README.md.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "credentials_state.hpp"
#include "demo_turn.hpp"
#include "faults.hpp"

namespace velmora::agent_sim {

struct SimOptions {
  /// 0 picks a free port (printed as the first line of standard output).
  std::uint16_t port = 0;
  std::optional<std::filesystem::path> record;
  std::optional<std::filesystem::path> state_file;
  /// Uploaded files are kept here; without it they are digested and discarded.
  std::optional<std::filesystem::path> upload_dir;
  std::uint64_t max_upload_bytes = 1ull << 32;
  std::optional<std::filesystem::path> script;
  /// With both: every connection is TLS (https://, wss://) with this certificate chain and key.
  std::optional<std::filesystem::path> tls_certificate;
  std::optional<std::filesystem::path> tls_key;
  /// Seconds between heartbeat frames; 0 sends none.
  double heartbeat = 0;
  std::size_t history_limit = 100000;
  DemoSettings demo;
  CredentialsSettings credentials;
  Faults faults;
};

struct ParsedOptions {
  /// Absent when the program should end at once with `exit_code` (help, or a usage error).
  std::optional<SimOptions> options;
  int exit_code = 0;
};

/// Parses the command line; prints help to `out` and usage errors to `err` (exit code 2).
[[nodiscard]] ParsedOptions parse_options(int argc, const char* const* argv, std::ostream& out,
                                          std::ostream& err);

}  // namespace velmora::agent_sim
