// Micro-benchmarks of the runtime's per-line and per-chunk work: reading
// command lines from a LineSocket and asking a RateLimiter for bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/clock.h"
#include "runtime/line_socket.h"
#include "runtime/rate_limiter.h"
#include "runtime/tcp_socket.h"
#include "support/loopback_client.h"

namespace quillon::runtime {
namespace {

// Lines per batch the client writes at once, as a pipelining client would.
constexpr int kLinesPerBatch = 64;

void BM_ReadLine(benchmark::State& state) {
  TcpSocket listener;
  if (!listener.ListenOn(0)) return state.SkipWithError("listen failed");
  testing::LoopbackClient client;
  if (!client.Connect(listener.LocalPort())) return state.SkipWithError("connect failed");
  LineSocket socket;
  while (!listener.AcceptInto(socket)) listener.WaitReadable(nullptr, 100);

  std::string batch;
  for (int i = 0; i < kLinesPerBatch; ++i) batch += "RETR /pub/releases/archive-2026.tar.gz\r\n";
  char line[2048];
  for (auto _ : state) {
    client.Send(batch);
    for (int read = 0; read < kLinesPerBatch;) {
      if (socket.ReadLine(line, sizeof line)) {
        ++read;
      } else {
        socket.WaitReadable(nullptr, 100);
      }
    }
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(state.iterations() * kLinesPerBatch);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
}
BENCHMARK(BM_ReadLine);

void BM_RateLimiterGrant(benchmark::State& state) {
  static platform::SystemClock clock;
  static RateLimiter* limiter = nullptr;
  if (state.thread_index() == 0) {
    limiter = new RateLimiter(clock);
    limiter->SetLimit(0xFFFF'FFFFu);
  }
  for (auto _ : state) benchmark::DoNotOptimize(limiter->Grant(2048));
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    delete limiter;
    limiter = nullptr;
  }
}
BENCHMARK(BM_RateLimiterGrant)->Threads(1)->Threads(2);

}  // namespace
}  // namespace quillon::runtime

BENCHMARK_MAIN();
