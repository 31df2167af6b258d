// What kesp.ini's HTTP endpoint costs: rendering /metrics and /api/servers (the status document)
// for 64 and 512 servers (bytes_per_second: the two doors compared per byte), taking and publishing the snapshot after a cycle (the cycle's added work), and one scrape of
// /metrics and of /api/servers served end to end over 127.0.0.1 (process CPU, the client's share included, and
// the resident memory the endpoint adds). Compare with tervane_process_bench's full cycle.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "observe/http_client.h"
#include "observe/http_endpoint.h"
#include "observe/metrics.h"
#include "observe/snapshot.h"
#include "support/text.h"
#include "testbed.h"

namespace tervane {
namespace {

constexpr WallTime kNow = 1'800'000'000;

MonitorSnapshot Snapshot(int servers) {
  MonitorSnapshot m;
  for (int i = 0; i < servers; ++i) {
    ServerSnapshot s;
    s.number = static_cast<std::size_t>(i) + 1;
    s.name = "Server " + std::to_string(i) + " | Counter-Strike 24/7";
    s.address = "192.168.10." + std::to_string(i % 250);
    s.port = 27015 + i;
    s.executable = "/srv/server" + std::to_string(i) + "/srcds_linux";
    s.process = ProcessState::Running;
    s.network = NetworkState::Normal;
    s.status.hasReply = true;
    s.status.map = "de_dust2";
    s.status.players = i % 32;
    s.status.maxPlayers = 32;
    s.status.lastReply = kNow - 2;
    s.status.lastRestart = kNow - 3600;
    s.status.restartsByReason = {1, 2, 3, 4, 5};
    m.servers.push_back(std::move(s));
  }
  m.cycleSeconds = 0.0021;
  return m;
}

void BM_RenderMetrics(benchmark::State& state) {
  const MonitorSnapshot m = Snapshot(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = RenderMetrics(m, ObserverCounts{}, kNow, "2.3");
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}

void BM_StatusJson(benchmark::State& state) {
  const MonitorSnapshot m = Snapshot(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = StatusJson(m, kNow);
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
}

// The cycle's own added work: copying the statuses and swapping the published pointer.
void BM_TakeAndPublishSnapshot(benchmark::State& state) {
  EventLoop loop;
  std::unique_ptr<IProcessControl> process = CreateProcessControl(ProcessControlOptions{});
  testbed::SupervisionRig rig(loop, *process, {SupervisionTiming{}, u"/tmp/", [] { return kNow; }, false});
  for (int i = 0; i < state.range(0); ++i) {
    auto e = std::make_unique<Server>(NewServerEntry());
    e->Name.assign(u"Server " + ToU16(i) + u" | Counter-Strike");
    e->IPAddress.assign("192.168.10.1");
    e->Status.hasReply = true;
    e->Status.map = "de_dust2";
    rig.Add(std::move(e));
  }
  SnapshotBox box;
  for (auto _ : state) box.Publish(TakeSnapshot(rig.servers, rig.supervisor));
}

// VmRSS of /proc/self/status, in kB.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  return 0;
}

// One scrape end to end: the client's request over 127.0.0.1, the endpoint's thread taking the
// snapshot and rendering it, the answer read back; the door is /metrics, or /api/servers when
// the second argument is 1.
void BM_Scrape(benchmark::State& state) {
  const long before = ResidentKb();
  SnapshotBox box;
  box.Publish(Snapshot(static_cast<int>(state.range(0))));
  HttpApi api("", "127.0.0.1", box, {}, {}, [] { return kNow; }, "2.3");
  HttpEndpoint endpoint([&api](const HttpRequest& r, HttpAnswer answer) { api.Handle(r, answer); });
  std::string error;
  if (!endpoint.Start(ListenAddress{"127.0.0.1", 0}, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  HttpCall call;
  call.method = "GET";
  call.contentType.clear();
  call.url = "http://127.0.0.1:" + std::to_string(endpoint.Port()) + (state.range(1) ? "/api/servers" : "/metrics");
  std::size_t bytes = 0;
  for (auto _ : state) {
    const HttpCallResult r = SendHttp(call);
    if (r.status != 200) state.SkipWithError("scrape failed");
    bytes = r.body.size();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
  state.counters["rss_added_kb"] = static_cast<double>(ResidentKb() - before);
}

BENCHMARK(BM_RenderMetrics)->Arg(8)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusJson)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TakeAndPublishSnapshot)->Arg(64)->Arg(512)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Scrape)->ArgsProduct({{64, 512}, {0, 1}})->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tervane

BENCHMARK_MAIN();
