// Everything the simulator's endpoints share: options, threads, credentials, the record and
// the optional state file. Lives on the event-loop thread; no locks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "credentials_state.hpp"
#include "recorder.hpp"
#include "sim_options.hpp"
#include "thread_store.hpp"
#include "turn_script.hpp"

namespace velmora::agent_sim {

struct SimState {
  /// Opens the record file and loads the state file; throws velmora::base::Error kinds on failure.
  SimState(SimOptions options, std::optional<Script> script);

  SimOptions options;
  std::optional<Script> script;
  std::optional<ScriptTurnPicker> picker;
  ThreadStore threads;
  CredentialsState credentials;
  Recorder recorder;
  /// This service's address, "http://127.0.0.1:PORT", once listening.
  std::string public_base;
  /// Websocket handshakes seen (for reject_handshakes) and sessions accepted.
  std::size_t handshakes = 0;
  std::size_t sessions = 0;

  /// Writes the state file when threads or tokens changed. Failures are reported on standard
  /// error and retried at the next change: a full disk must not stop the service.
  void save_if_changed();
};

/// Reads a state file into `threads` and `credentials`. A missing file is an empty state; an
/// unreadable or malformed one throws velmora::base::RuntimeError (the file is left untouched).
void load_state_file(const std::filesystem::path& path, ThreadStore& threads,
                     CredentialsState& credentials);

/// Writes the state file atomically (temporary file, then rename). Throws velmora::base::OSError.
void save_state_file(const std::filesystem::path& path, const ThreadStore& threads,
                     const CredentialsState& credentials);

}  // namespace velmora::agent_sim
