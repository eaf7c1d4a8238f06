#include "ws_session.hpp"

#include <iostream>
#include <utility>

#include <boost/json/parse.hpp>

#include "demo_turn.hpp"
#include "text_util.hpp"
#include "turn_runner.hpp"
#include "velmora/base/json_text.hpp"

namespace velmora::agent_sim {
namespace {

using velmora::base::awaitable;
namespace net = velmora::base::net;

bool is_ask_type(std::string_view type) {
  return type == "ask_message" || type == "ask_user_input" || type == "askuserinput";
}

std::string dumps(const boost::json::object& frame) { return velmora::base::json_dumps(frame); }

// Frames are built outside co_await expressions: g++ 12 rejects braced string literals in them.
std::string error_frame(std::string_view code, std::string_view message) {
  return dumps({{"type", "error"}, {"code", code}, {"message", message}});
}

std::string type_only(std::string_view type) { return dumps({{"type", type}}); }

std::string string_field(const boost::json::object& frame, std::string_view key) {
  const auto* value = frame.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

class Session final : public TurnHost {
 public:
  Session(SimState& state, WsTransport& ws, SessionRequest request, std::size_t number,
          const net::any_io_executor& ex)
      : state_(state),
        ws_(ws),
        request_(std::move(request)),
        number_(number),
        ex_(ex),
        signals_(ex),
        ending_(ex) {
    const auto limit = state_.options.faults.fault_connections.value_or(1);
    faulty_ = limit == 0 || number_ <= limit;
  }

  awaitable<void> run() {
    if (co_await bind()) {
      if (state_.script && !state_.script->on_connect.empty()) {
        TurnContext context{placeholders(""), 0, false};
        Steps steps = state_.script->on_connect;
        turn_ =
            velmora::base::Task::spawn(ex_, turn_body(std::move(steps), std::move(context), false));
      }
      if (state_.options.heartbeat > 0) {
        heartbeat_ = velmora::base::Task::spawn(ex_, heartbeat_loop());
      }
      co_await serve();
    }
    co_await finish();
  }

  awaitable<bool> send(std::string data, bool binary, bool keep) override {
    if (gone_) co_return false;
    const auto& faults = state_.options.faults;
    if (faulty_ && faults.stall_after_frames && frames_sent_ >= *faults.stall_after_frames) {
      co_await stall();
      co_return false;
    }
    std::string kept = keep ? data : std::string();
    if (!co_await ws_.write(std::move(data), binary)) {
      gone_ = true;
      co_return false;
    }
    ++frames_sent_;
    if (keep) state_.threads.append_frame(thread_id_, std::move(kept));
    if (faulty_ && faults.drop_after_frames && frames_sent_ >= *faults.drop_after_frames) {
      co_await drop();
      co_return false;
    }
    co_return true;
  }

  void keep(std::string frame) override {
    state_.threads.append_frame(thread_id_, std::move(frame));
  }

  awaitable<void> drop() override {
    if (dropped_) co_return;
    dropped_ = true;
    gone_ = true;
    close_reason_ = "dropped";
    record_fault("drop");
    ws_.drop();
    co_return;
  }

  awaitable<void> close(std::uint16_t code, std::string reason) override {
    if (gone_) co_return;
    gone_ = true;
    close_reason_ = "closed by the simulator";
    co_await ws_.close(code, std::move(reason));
  }

  awaitable<void> stall() override {
    if (gone_) co_return;
    gone_ = true;
    close_reason_ = "stalled";
    record_fault("stall");
    co_await ws_.stall();
  }

 private:
  void record(std::string_view event, boost::json::object fields) {
    boost::json::object line{{"connection", number_}, {"thread_id", thread_id_}};
    for (const auto& field : fields) line[field.key()] = field.value();
    state_.recorder.write(event, line);
  }

  void record_fault(std::string_view fault) {
    record("ws_fault", {{"fault", fault}, {"frames_sent", frames_sent_}});
  }

  Placeholders placeholders(std::string_view query) const {
    const std::string plain = strip_triggers(query);
    return {{"query", std::string(query)},
            {"excerpt", excerpt(plain.empty() ? std::string(query) : plain, 80)},
            {"topic", topic_title(query)},
            {"thread_id", thread_id_},
            {"user_id", request_.user_id},
            {"turn", std::to_string(turn_number_)},
            {"answer", ""}};
  }

  // Binds the thread and replays a known one's history; false when the connection went.
  awaitable<bool> bind() {
    const auto& faults = state_.options.faults;
    if (faults.metadata_delay && *faults.metadata_delay > 0) {
      co_await velmora::base::sleep_for(*faults.metadata_delay);
    }
    const auto binding = state_.threads.bind(request_.thread_id, request_.user_id,
                                             faults.override_thread.value_or(false));
    thread_id_ = binding.thread_id;
    record("ws_open",
           {{"path", request_.path},
            {"url_form", request_.v3_form ? "v3" : "path"},
            {"user_id", request_.user_id},
            {"token", request_.token},
            {"requested_thread_id", request_.thread_id ? boost::json::value(*request_.thread_id)
                                                       : boost::json::value(nullptr)},
            {"language", request_.language},
            {"params", request_.params},
            {"is_new", binding.is_new}});
    state_.save_if_changed();
    const boost::json::object metadata{
        {"type", "metadata"},
        {"thread_id", faults.metadata_thread_id.value_or(thread_id_)},
        {"is_new", binding.is_new}};
    std::string metadata_text = dumps(metadata);
    if (!co_await send(std::move(metadata_text), false, false)) co_return false;
    if (binding.is_new) co_return true;

    const auto* thread = state_.threads.find(thread_id_);
    if (thread->last_query) {
      boost::json::object echo{{"thread_id", thread_id_}};
      const auto& last = *thread->last_query;
      if (!last.scenario.empty()) echo["scenario"] = last.scenario;
      if (!last.language.empty()) echo["user_language"] = last.language;
      if (last.config) echo["config"] = *last.config;
      std::string frame = dumps({{"type", "config"}, {"config", std::move(echo)}});
      if (!co_await send(std::move(frame), false, false)) {
        co_return false;
      }
    }
    // A copy: another session of the same thread may add frames while these are sent.
    std::vector<std::string> history;
    for (const auto& turn : thread->turns) history.insert(history.end(), turn.begin(), turn.end());
    for (auto& frame : history) {
      if (!co_await send(std::move(frame), false, false)) co_return false;
    }
    std::string done = type_only("resume_complete");
    co_return co_await send(std::move(done), false, false);
  }

  awaitable<void> heartbeat_loop() {
    while (!co_await ending_.wait_for(state_.options.heartbeat)) {
      std::string beat = type_only("heartbeat");
      if (!co_await send(std::move(beat), false, false)) co_return;
    }
  }

  awaitable<void> serve() {
    while (true) {
      const InboundFrame frame = co_await ws_.read();
      if (frame.kind == InboundFrame::Kind::closed) {
        if (close_reason_.empty()) close_reason_ = "closed by the client";
        co_return;
      }
      if (frame.kind == InboundFrame::Kind::failed) {
        if (close_reason_.empty()) close_reason_ = frame.data;
        co_return;
      }
      if (!co_await on_frame(frame)) co_return;
    }
  }

  // False when the session is over.
  awaitable<bool> on_frame(const InboundFrame& frame) {
    const bool binary = frame.kind == InboundFrame::Kind::binary;
    boost::system::error_code ec;
    const auto parsed = boost::json::parse(frame.data, ec);
    const auto* object = ec ? nullptr : parsed.if_object();
    boost::json::object line{{"binary", binary}};
    if (object != nullptr) {
      line["frame"] = *object;
    } else if (velmora::base::is_valid_utf8(frame.data)) {
      line["raw"] = frame.data;
    } else {
      static constexpr char DIGITS[] = "0123456789abcdef";
      std::string hex;
      for (const unsigned char c : frame.data) {
        hex.push_back(DIGITS[c >> 4]);
        hex.push_back(DIGITS[c & 0x0f]);
      }
      line["raw_hex"] = hex;
    }
    record("ws_frame", std::move(line));

    if (object == nullptr) {
      std::string error = error_frame("invalid_frame", "Frames must be JSON objects.");
      co_await send(std::move(error), false, false);
      co_return true;
    }
    const std::string type = string_field(*object, "type");
    if (type == "query") {
      co_await on_query(*object);
    } else if (is_ask_type(type)) {
      co_await on_answer(*object);
    } else if (type == "interrupt") {
      if (turn_running()) signals_.interrupt.set();
    } else if (type == "terminate") {
      co_await terminate();
      co_return false;
    } else {
      std::string error = error_frame("unknown_message", "Unknown message type: " + type);
      co_await send(std::move(error), false, false);
    }
    co_return true;
  }

  bool turn_running() const { return turn_.valid() && !turn_.done(); }

  awaitable<void> on_query(const boost::json::object& frame) {
    const auto* query = frame.if_contains("query");
    if (query == nullptr || !query->is_string()) {
      std::string error = error_frame("invalid_query", "A query needs a \"query\" text.");
      co_await send(std::move(error), false, false);
      co_return;
    }
    if (turn_running()) {
      std::string error =
          error_frame("turn_in_progress", "A turn is already running; interrupt it first.");
      co_await send(std::move(error), false, false);
      co_return;
    }
    const std::string text(query->get_string());
    LastQuery last{string_field(frame, "scenario"), string_field(frame, "language"), std::nullopt};
    if (last.language.empty()) last.language = request_.language;
    if (const auto* config = frame.if_contains("config"); config && config->is_object()) {
      last.config = config->get_object();
    }
    const auto* thread = state_.threads.find(thread_id_);
    const bool first_query = thread == nullptr || thread->query_count == 0;
    state_.threads.begin_turn(thread_id_, std::move(last));
    ++turn_number_;

    signals_.interrupt.clear();
    signals_.answers.clear();
    signals_.answer_ready.clear();
    TurnContext context{placeholders(text), text.size(), true};
    Steps steps = steps_for(text, first_query);
    turn_ = velmora::base::Task::spawn(ex_, turn_body(std::move(steps), std::move(context), true));
  }

  Steps steps_for(const std::string& query, bool first_query) {
    if (state_.picker) {
      if (const auto* turn = state_.picker->pick(query)) return turn->steps;
      if (!state_.script->fallback_demo) {
        Step error;
        error.frame = {{"type", "error"},
                       {"code", "no_script_turn"},
                       {"message", "No script turn matches this query."}};
        Step complete;
        complete.kind = StepKind::complete;
        return {std::move(error), std::move(complete)};
      }
    }
    const std::string prefix = "t" + random_hex(4);
    return build_demo_turn({query, first_query, prefix}, state_.options.demo);
  }

  awaitable<void> turn_body(Steps steps, TurnContext context, bool query_turn) {
    try {
      bool connected = true;
      if (query_turn) connected = co_await inject_faults();
      if (connected) co_await run_turn(*this, signals_, std::move(steps), std::move(context));
    } catch (const std::exception& e) {
      // A turn never takes the service down; the client sees the connection go quiet.
      std::cerr << "velmora-agent-sim: turn failed on connection " << number_ << ": " << e.what()
                << '\n';
    }
    state_.save_if_changed();
  }

  // The fault frames of a faulty connection's first turn; false when the connection went.
  awaitable<bool> inject_faults() {
    if (injected_ || !faulty_) co_return true;
    injected_ = true;
    const auto& faults = state_.options.faults;
    if (faults.send_non_json.value_or(false)) {
      record_fault("non_json");
      std::string garbage = "this frame is not JSON {";
      if (!co_await send(std::move(garbage), false, false)) co_return false;
    }
    if (faults.send_binary.value_or(false)) {
      record_fault("binary");
      std::string bytes("\x00\x01 binary frame \xff", 17);
      if (!co_await send(std::move(bytes), true, false)) {
        co_return false;
      }
    }
    if (faults.oversized_frame) {
      record_fault("oversized");
      std::string big = oversized_frame(*faults.oversized_frame);
      if (!co_await send(std::move(big), false, false)) co_return false;
    }
    co_return true;
  }

  awaitable<void> on_answer(const boost::json::object& frame) {
    const auto* id = frame.if_contains("message_id");
    const auto* answers = frame.if_contains("answers");
    if (id == nullptr || !id->is_string() || answers == nullptr || !answers->is_object()) {
      std::string error =
          error_frame("invalid_answer", "An answer needs a message_id and an answers object.");
      co_await send(std::move(error), false, false);
      co_return;
    }
    signals_.answers.push_back({std::string(id->get_string()), answers->get_object()});
    signals_.answer_ready.set();
  }

  awaitable<void> terminate() {
    signals_.stopping = true;
    signals_.interrupt.set();
    co_await turn_.join();
    std::string terminated = type_only("terminated");
    if (co_await send(std::move(terminated), false, false)) {
      co_await close(1000, {});
      close_reason_ = "terminated";
    }
  }

  awaitable<void> finish() {
    ending_.set();
    signals_.stopping = true;
    signals_.interrupt.set();
    co_await turn_.join();
    co_await heartbeat_.join();
    state_.save_if_changed();
    record("ws_close", {{"reason", close_reason_.empty() ? "ended" : close_reason_},
                        {"frames_sent", frames_sent_}});
  }

  SimState& state_;
  WsTransport& ws_;
  SessionRequest request_;
  std::size_t number_;
  net::any_io_executor ex_;
  /// Per-connection faults apply to this session.
  bool faulty_ = false;
  std::string thread_id_;
  std::size_t frames_sent_ = 0;
  std::size_t turn_number_ = 0;
  /// Nothing more may be written: dropped, stalled, closed or failed.
  bool gone_ = false;
  bool dropped_ = false;
  bool injected_ = false;
  std::string close_reason_;
  TurnSignals signals_;
  velmora::base::Event ending_;
  velmora::base::Task turn_;
  velmora::base::Task heartbeat_;
};

}  // namespace

awaitable<void> run_session(SimState& state, WsTransport& transport, SessionRequest request,
                            std::size_t number) {
  Session session(state, transport, std::move(request), number, co_await net::this_coro::executor);
  co_await session.run();
}

}  // namespace velmora::agent_sim
