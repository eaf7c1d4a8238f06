// Streams small frames from a loopback server (a forked child) and compares how fast they come
// out of AgentWsV3Client's queue with a bare Beast read loop, in the same run.
//
//   wirelet_throughput_bench [frames] [rounds] [client|bare]   (the last one profiles one side)
//
// Two server styles: "batched" writes a thousand frames per system call, so the figures measure
// the receiving side alone; "streamed" writes one frame per call, as a service streaming tokens
// does. Prints one line per figure, best of the rounds:
//   wirelet.<style>.frames_per_second <n>        through the client, decoded, via incoming_queue()
//   wirelet.<style>.bare_frames_per_second <n>   websocket::stream::async_read alone
//   wirelet.<style>.client_vs_bare_ratio <x>     bare / client (goals in bench/goals.tsv)
//   wirelet.<style>.cpu_client_vs_bare_ratio <x> the same from the receiving thread's CPU time,
//                                                which other load on a shared machine moves less
//   wirelet.peak_rss_kib <n>                     peak resident memory after the client runs
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "wirelet/client.hpp"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using velmora::base::awaitable;

constexpr auto USE_TUPLE = net::as_tuple(net::use_awaitable);
const std::string FRAME = R"({"type": "text_delta", "delta": "token ", "message_id": "m1"})";

// Unmasked single-frame text messages, laid out as they go on the wire, so the server side costs
// one system call per batch and the figures measure the receiving side.
std::string encoded_batch(int frames) {
  static_assert(sizeof(char) == 1);
  std::string one;
  one += static_cast<char>(0x81);  // FIN + text
  one += static_cast<char>(FRAME.size());
  one += FRAME;
  std::string batch;
  batch.reserve(one.size() * static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) batch += one;
  return batch;
}

// Server side: on each connection wait for the client's first frame, stream, close.
awaitable<void> stream_frames(tcp::socket socket, int frames, bool batched) {
  constexpr int BATCH = 1000;
  static const std::string batch = encoded_batch(BATCH);
  websocket::stream<tcp::socket> ws(std::move(socket));
  const auto [accept_ec] = co_await ws.async_accept(USE_TUPLE);
  if (accept_ec) co_return;
  beast::flat_buffer buffer;
  const auto [read_ec, read_size] = co_await ws.async_read(buffer, USE_TUPLE);
  if (read_ec) co_return;
  if (batched) {
    for (int sent = 0; sent < frames; sent += BATCH) {
      const int count = std::min(BATCH, frames - sent);
      const auto bytes = batch.size() / BATCH * static_cast<std::size_t>(count);
      const auto [ec, size] =
          co_await net::async_write(ws.next_layer(), net::buffer(batch.data(), bytes), USE_TUPLE);
      if (ec) co_return;
    }
  } else {
    ws.text(true);
    for (int i = 0; i < frames; ++i) {
      const auto [ec, size] = co_await ws.async_write(net::buffer(FRAME), USE_TUPLE);
      if (ec) co_return;
    }
  }
  (void)co_await ws.async_close(websocket::close_code::normal, USE_TUPLE);
}

awaitable<void> serve(tcp::acceptor& acceptor, int frames, bool batched) {
  while (true) {
    auto [ec, socket] = co_await acceptor.async_accept(USE_TUPLE);
    if (ec) co_return;
    net::co_spawn(acceptor.get_executor(), stream_frames(std::move(socket), frames, batched),
                  net::detached);
  }
}

/// Wall and CPU seconds of one round's receiving.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

awaitable<void> through_client(std::string url, int frames, Timing& seconds) {
  auto cfg = std::make_shared<wirelet::WireletConfig>(
      wirelet::WireletConfig{.base_url = url, .user_id = "bench", .user_token = "t"});
  wirelet::AgentWsV3Client client(co_await net::this_coro::executor, cfg);
  co_await client.connect();
  const double started = velmora::base::monotonic_seconds();
  const double started_cpu = thread_cpu_seconds();
  co_await client.send_interrupt();
  for (int i = 0; i < frames; ++i) {
    const wirelet::Message msg = (co_await client.incoming_queue().pop()).message;
    if (msg.at("type").as_string() != "text_delta") throw std::runtime_error("unexpected message");
  }
  seconds = {velmora::base::monotonic_seconds() - started, thread_cpu_seconds() - started_cpu};
  co_await client.close(false);
}

awaitable<void> through_bare_beast(unsigned short port, int frames, Timing& seconds) {
  tcp::socket socket(co_await net::this_coro::executor);
  co_await socket.async_connect({net::ip::make_address("127.0.0.1"), port}, net::use_awaitable);
  socket.set_option(tcp::no_delay(true));
  websocket::stream<tcp::socket> ws(std::move(socket));
  co_await ws.async_handshake("127.0.0.1", "/bench/v3", net::use_awaitable);
  const double started = velmora::base::monotonic_seconds();
  const double started_cpu = thread_cpu_seconds();
  ws.text(true);
  const std::string start = R"({"type": "interrupt"})";
  co_await ws.async_write(net::buffer(start), net::use_awaitable);
  beast::flat_buffer buffer;
  for (int i = 0; i < frames; ++i) {
    buffer.consume(buffer.size());
    co_await ws.async_read(buffer, net::use_awaitable);
  }
  seconds = {velmora::base::monotonic_seconds() - started, thread_cpu_seconds() - started_cpu};
  (void)co_await ws.async_close(websocket::close_code::normal, USE_TUPLE);
}

template <class Body>
Timing run_round(Body body) {
  net::io_context io;
  Timing seconds;
  std::exception_ptr failure;
  net::co_spawn(io, body(seconds), [&](std::exception_ptr e) { failure = e; });
  io.run();
  if (failure) std::rethrow_exception(failure);
  return seconds;
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 200000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string only = argc > 3 ? argv[3] : "";

  // The server lives in a child so the peak memory figure is the client's alone.
  net::io_context server_io;
  const auto loopback = net::ip::make_address("127.0.0.1");
  tcp::acceptor batched(server_io, {loopback, 0});
  tcp::acceptor streamed(server_io, {loopback, 0});
  const unsigned short batched_port = batched.local_endpoint().port();
  const unsigned short streamed_port = streamed.local_endpoint().port();
  server_io.notify_fork(net::execution_context::fork_prepare);
  const pid_t server = fork();
  if (server == 0) {
    server_io.notify_fork(net::execution_context::fork_child);
    net::co_spawn(server_io, serve(batched, frames, true), net::detached);
    net::co_spawn(server_io, serve(streamed, frames, false), net::detached);
    server_io.run();
    _exit(0);
  }
  server_io.notify_fork(net::execution_context::fork_parent);
  batched.close();
  streamed.close();

  int status = 0;
  try {
    long rss = 0;
    for (const auto& [style, port] :
         {std::pair{"batched", batched_port}, {"streamed", streamed_port}}) {
      const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/bench/v3";
      Timing client_best{1e30, 1e30};
      Timing bare_best{1e30, 1e30};
      const auto keep_best = [](Timing& best, const Timing& round) {
        best.wall = std::min(best.wall, round.wall);
        best.cpu = std::min(best.cpu, round.cpu);
      };
      for (int round = 0; round < rounds && only != "bare"; ++round) {
        keep_best(client_best,
                  run_round([&](Timing& s) { return through_client(url, frames, s); }));
      }
      rss = std::max(rss, peak_rss_kib());
      for (int round = 0; round < rounds && only != "client"; ++round) {
        keep_best(bare_best,
                  run_round([&](Timing& s) { return through_bare_beast(port, frames, s); }));
      }
      const double client_fps = frames / client_best.wall;
      const double bare_fps = frames / bare_best.wall;
      std::printf("wirelet.%s.frames_per_second %.0f\n", style, client_fps);
      std::printf("wirelet.%s.bare_frames_per_second %.0f\n", style, bare_fps);
      std::printf("wirelet.%s.client_vs_bare_ratio %.2f\n", style, bare_fps / client_fps);
      std::printf("wirelet.%s.cpu_client_vs_bare_ratio %.2f\n", style,
                  client_best.cpu / bare_best.cpu);
    }
    std::printf("wirelet.peak_rss_kib %ld\n", rss);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wirelet_throughput_bench: %s\n", e.what());
    status = 1;
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  return status;
}
