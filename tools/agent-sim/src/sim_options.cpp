#include "sim_options.hpp"

#include <map>
#include <set>
#include <vector>

#include <CLI/CLI.hpp>

namespace velmora::agent_sim {
namespace {

// "KEY=VALUE" pairs into a map; the key must not be empty.
std::map<std::string, std::string> pairs(const std::vector<std::string>& items,
                                         const std::string& option) {
  std::map<std::string, std::string> out;
  for (const auto& item : items) {
    const auto eq = item.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw CLI::ValidationError(option, "expected KEY=VALUE, got \"" + item + "\"");
    }
    out[item.substr(0, eq)] = item.substr(eq + 1);
  }
  return out;
}

constexpr const char* FOOTER = R"(Endpoints (all on 127.0.0.1:PORT):
  websocket   /ws/v3?userToken=…&user_id=…   or   /ws/<user_id>?userToken=…
  File API    POST /api/v2/upload_attachment
  credentials /oauth/device/code  /oauth/token  /oauth/userinfo
              /api/v1/users/<user_id>/devevaro_account

Query triggers: sim:ask sim:ask-free sim:plan sim:slow sim:error sim:error-late sim:stream=N
The first line of standard output is the port number.)";

}  // namespace

ParsedOptions parse_options(int argc, const char* const* argv, std::ostream& out,
                            std::ostream& err) {
  SimOptions o;
  CLI::App app{
      "Local Velmora agent service: websocket sessions, File API uploads and the "
      "credentials service on loopback, for demos, tests and benchmarks.",
      "velmora-agent-sim"};
  app.footer(FOOTER);
  app.get_formatter()->column_width(38);

  std::string record, state_file, upload_dir, script, tls_certificate, tls_key;
  app.add_option("--port", o.port, "TCP port on 127.0.0.1 (0: any free port)")
      ->capture_default_str()
      ->type_name("N");
  app.add_option("--record", record,
                 "Write every received frame, upload and credentials "
                 "request as JSON lines to FILE")
      ->type_name("FILE");
  app.add_option("--state-file", state_file,
                 "Keep threads and issued tokens in FILE across restarts")
      ->type_name("FILE");
  app.add_option("--upload-dir", upload_dir,
                 "Store uploaded files under DIR (default: digest and discard them)")
      ->type_name("DIR");
  app.add_option("--max-upload-bytes", o.max_upload_bytes, "Largest accepted upload body")
      ->capture_default_str()
      ->type_name("BYTES");
  app.add_option("--script", script, "JSON script file whose turns replace the demo agent")
      ->check(CLI::ExistingFile)
      ->type_name("FILE");
  auto* certificate = app.add_option("--tls-cert", tls_certificate,
                                     "Serve TLS only (https://, wss://) with the certificate "
                                     "chain in FILE (PEM, server first)")
                          ->check(CLI::ExistingFile)
                          ->type_name("FILE");
  auto* key = app.add_option("--tls-key", tls_key, "Private key (PEM) of --tls-cert")
                  ->check(CLI::ExistingFile)
                  ->type_name("FILE");
  certificate->needs(key);
  key->needs(certificate);
  app.add_option("--heartbeat", o.heartbeat, "Send a heartbeat frame every SECONDS (0: never)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->type_name("SECONDS");
  app.add_option("--history-limit", o.history_limit,
                 "Frames kept per thread for replay (oldest whole turns are dropped)")
      ->capture_default_str()
      ->type_name("N");

  auto* turns = "Demo turns";
  app.add_option("--pace", o.demo.pace, "Seconds between the frames of a demo turn")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->group(turns)
      ->type_name("SECONDS");
  app.add_option("--chunk-bytes", o.demo.chunk_bytes, "Bytes per streamed answer delta")
      ->check(CLI::PositiveNumber)
      ->capture_default_str()
      ->group(turns)
      ->type_name("N");
  app.add_option("--slow-delay", o.demo.slow_delay, "Seconds between deltas of sim:slow")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->group(turns)
      ->type_name("SECONDS");
  app.add_option("--slow-count", o.demo.slow_count, "Deltas of sim:slow")
      ->capture_default_str()
      ->group(turns)
      ->type_name("N");
  app.add_option("--answer-timeout", o.demo.answer_timeout,
                 "Seconds a question waits for its answer")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->group(turns)
      ->type_name("SECONDS");
  app.add_option("--throughput", o.demo.throughput,
                 "Every query streams N deltas as fast as the client reads (0: demo answer)")
      ->capture_default_str()
      ->group(turns)
      ->type_name("N");
  app.add_option("--throughput-text", o.demo.throughput_text,
                 "Shape of those deltas: tokens (a paragraph break every 16), unbroken (100-byte "
                 "deltas, never a line break: one paragraph), paragraphs (100-byte deltas, each "
                 "its own paragraph), code (100-byte lines of one fenced code block)")
      ->check(CLI::IsMember({"tokens", "unbroken", "paragraphs", "code"}))
      ->capture_default_str()
      ->group(turns)
      ->type_name("SHAPE");

  auto& c = o.credentials;
  auto* creds = "Credentials service";
  std::vector<std::string> tokens, refresh_tokens, revoked, accounts;
  std::string outcome = "approve", claims = "user_id";
  app.add_option("--login-user", c.login_user, "User id a device login signs in")
      ->capture_default_str()
      ->group(creds)
      ->type_name("ID");
  app.add_option("--device-pending-polls", c.device_pending_polls,
                 "Polls answered authorization_pending before the outcome")
      ->capture_default_str()
      ->group(creds)
      ->type_name("N");
  app.add_option("--device-slow-down-polls", c.device_slow_down_polls,
                 "Polls answered slow_down first")
      ->capture_default_str()
      ->group(creds)
      ->type_name("N");
  app.add_option("--device-outcome", outcome, "Outcome of a device login")
      ->check(CLI::IsMember({"approve", "deny", "expire"}))
      ->capture_default_str()
      ->group(creds)
      ->type_name("OUTCOME");
  app.add_option("--device-interval", c.device_interval, "Polling interval announced (seconds)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->group(creds)
      ->type_name("SECONDS");
  app.add_option("--device-expires-in", c.device_expires_in, "Lifetime of a device code (seconds)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->group(creds)
      ->type_name("SECONDS");
  app.add_option("--client-id", c.client_id, "Accept only this client id (default: any)")
      ->group(creds)
      ->type_name("ID");
  app.add_option("--token-lifetime", c.token_lifetime,
                 "Lifetime of issued access tokens in seconds (0: never expire)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str()
      ->group(creds)
      ->type_name("SECONDS");
  app.add_option("--userinfo-claims", claims, "Identity keys in the userinfo answer")
      ->check(CLI::IsMember({"user_id", "sub", "both"}))
      ->capture_default_str()
      ->group(creds)
      ->type_name("KEYS");
  app.add_option("--token", tokens, "Valid access TOKEN=USER from the start (repeatable)")
      ->group(creds)
      ->type_name("TOKEN=USER");
  app.add_option("--refresh-token", refresh_tokens,
                 "Valid refresh TOKEN=USER from the start (repeatable)")
      ->group(creds)
      ->type_name("TOKEN=USER");
  app.add_option("--revoke-token", revoked,
                 "Refuse TOKEN everywhere: 401 at userinfo, handshake and upload (repeatable)")
      ->group(creds)
      ->type_name("TOKEN");
  app.add_option("--account", accounts, "Account USER=VALUE for the account look-up (repeatable)")
      ->group(creds)
      ->type_name("USER=VALUE");
  app.add_flag("--strict-tokens", c.strict_session_tokens,
               "Sessions and uploads accept only issued or --token tokens")
      ->group(creds);

  auto& f = o.faults;
  auto* faults = "Faults";
  std::size_t reject_handshakes = 0, silent_handshakes = 0, fault_connections = 1, drop_after = 0,
              stall_after = 0, oversized = 0;
  double metadata_delay = 0, handshake_delay = 0;
  unsigned upload_status = 0;
  std::string upload_body, metadata_thread_id;
  bool non_json = false, binary = false, override_thread = false, missing_path = false;
  app.add_option("--reject-handshakes", reject_handshakes,
                 "Answer the first N websocket handshakes with 401")
      ->group(faults)
      ->type_name("N");
  app.add_option("--silent-handshakes", silent_handshakes,
                 "Never answer the first N websocket handshakes (hold the connection, silent)")
      ->group(faults)
      ->type_name("N");
  app.add_option("--fault-connections", fault_connections,
                 "Connection faults hit the first N connections (0: all)")
      ->capture_default_str()
      ->group(faults)
      ->type_name("N");
  app.add_option("--drop-after-frames", drop_after,
                 "Cut the TCP connection, without a close frame, after N frames")
      ->check(CLI::PositiveNumber)
      ->group(faults)
      ->type_name("N");
  app.add_option("--stall-after-frames", stall_after,
                 "After N frames send half a frame, then nothing")
      ->check(CLI::PositiveNumber)
      ->group(faults)
      ->type_name("N");
  app.add_flag("--send-non-json", non_json, "Send a text frame that is not JSON at the first turn")
      ->group(faults);
  app.add_flag("--send-binary", binary, "Send a binary frame at the first turn")->group(faults);
  app.add_option("--oversized-frame", oversized,
                 "Send a text_delta frame of BYTES bytes at the first turn")
      ->check(CLI::PositiveNumber)
      ->group(faults)
      ->type_name("BYTES");
  app.add_option("--metadata-delay", metadata_delay, "Seconds before the binding metadata")
      ->check(CLI::NonNegativeNumber)
      ->group(faults)
      ->type_name("SECONDS");
  app.add_option("--handshake-delay", handshake_delay,
                 "Seconds before the websocket handshake is answered")
      ->check(CLI::NonNegativeNumber)
      ->group(faults)
      ->type_name("SECONDS");
  app.add_flag("--override-thread", override_thread,
               "Bind every session to a fresh thread, whatever was asked")
      ->group(faults);
  app.add_option("--metadata-thread-id", metadata_thread_id,
                 "Name this thread id in the binding metadata instead of the bound one")
      ->group(faults)
      ->type_name("TEXT");
  app.add_option("--upload-status", upload_status, "Answer uploads with this HTTP status")
      ->check(CLI::Range(100u, 599u))
      ->group(faults)
      ->type_name("CODE");
  app.add_option("--upload-body", upload_body, "Body of the --upload-status answer")
      ->group(faults)
      ->type_name("TEXT");
  app.add_flag("--upload-missing-relative-path", missing_path,
               "Answer uploads 200 with JSON lacking relative_path")
      ->group(faults);

  try {
    app.parse(argc, argv);
    if (app.count("--upload-body") && !app.count("--upload-status")) {
      throw CLI::ValidationError("--upload-body", "needs --upload-status");
    }
    c.seeded_tokens = pairs(tokens, "--token");
    c.seeded_refresh_tokens = pairs(refresh_tokens, "--refresh-token");
    c.accounts = pairs(accounts, "--account");
    c.revoked_tokens = std::set<std::string>(revoked.begin(), revoked.end());
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return {std::nullopt, 0};
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return {std::nullopt, 0};
  } catch (const CLI::Error& e) {
    err << "velmora-agent-sim: " << e.what() << "\nRun with --help for more information.\n";
    return {std::nullopt, 2};
  }

  c.device_outcome = outcome == "deny"     ? DeviceOutcome::deny
                     : outcome == "expire" ? DeviceOutcome::expire
                                           : DeviceOutcome::approve;
  c.userinfo_claims = claims == "sub"    ? UserinfoClaims::sub
                      : claims == "both" ? UserinfoClaims::both
                                         : UserinfoClaims::user_id;
  if (!record.empty()) o.record = record;
  if (!state_file.empty()) o.state_file = state_file;
  if (!upload_dir.empty()) o.upload_dir = upload_dir;
  if (!script.empty()) o.script = script;
  if (!tls_certificate.empty()) o.tls_certificate = tls_certificate;
  if (!tls_key.empty()) o.tls_key = tls_key;
  if (app.count("--reject-handshakes")) f.reject_handshakes = reject_handshakes;
  if (app.count("--silent-handshakes")) f.silent_handshakes = silent_handshakes;
  if (app.count("--fault-connections")) f.fault_connections = fault_connections;
  if (app.count("--drop-after-frames")) f.drop_after_frames = drop_after;
  if (app.count("--stall-after-frames")) f.stall_after_frames = stall_after;
  if (non_json) f.send_non_json = true;
  if (binary) f.send_binary = true;
  if (app.count("--oversized-frame")) f.oversized_frame = oversized;
  if (app.count("--metadata-delay")) f.metadata_delay = metadata_delay;
  if (app.count("--handshake-delay")) f.handshake_delay = handshake_delay;
  if (override_thread) f.override_thread = true;
  if (app.count("--metadata-thread-id")) f.metadata_thread_id = metadata_thread_id;
  if (app.count("--upload-status")) f.upload_status = upload_status;
  if (app.count("--upload-body")) f.upload_body = upload_body;
  if (missing_path) f.upload_missing_relative_path = true;
  return {std::move(o), 0};
}

}  // namespace velmora::agent_sim
