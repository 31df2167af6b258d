// Replies at scale on Linux: the real supervision cycle over n stand-in servers (tools/fakesrv,
// each a copy in a folder of its own, "+ip 127.0.0.1 -port n"), with the host's own processes or
// with 1,000 idle ones more. Each iteration is one cycle and its 500 ms wait for the replies; the
// response-timeout check ends it. Reported per run of 10 cycles:
//   lost        the datagrams the kernel dropped on the endpoint's socket (/proc/net/udp "drops")
//   unanswered  servers without an answer at the check (waiting, or not Normal), summed over
//               the cycles
//   processes   the host's processes while it ran
//   allocs      heap allocations per cycle (the cycle and the handling of its replies; the
//               first cycle, which learns every server, left out)
// The CPU time per iteration is the cost of one cycle and of handling its replies (the wait is
// idle). The first cycle sends both queries to every server, as a fresh start does.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/supervisor.h"
#include "process/process_control.h"
#include "support/text.h"

namespace tervane {
// Every allocation of the program is counted.
std::atomic<long long> allocations{0};

}  // namespace tervane

// GCC pairs new with free across these replacements; they are one allocator all the same.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  tervane::allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace tervane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kMaxServers = 512;
constexpr int kMaxBackground = 1000;
constexpr int kCycles = 10;
constexpr unsigned kCheckDelayMs = 500;

// The kernel's drop counter of the UDP socket bound to this local port (the last column).
long long SocketDrops(int port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    const auto colon = local.find(':');
    if (colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port) continue;
    std::string field, last;
    while (fields >> field) last = field;
    return std::stoll(last);
  }
  return -1;
}

// The stand-ins and the idle processes, started once and ended at the end.
class Host {
 public:
  Host() {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("tervane-replies-bench-" + std::to_string(random()));
    fs::create_directories(root_ / "filler");
    fs::create_directories(root_ / "logs");
    filler_ = (root_ / "filler" / "sleep").u16string();
    fs::copy_file("/bin/sleep", fs::path(filler_));
    ProcessControlOptions options;
    options.outputFolder = (root_ / "logs").u16string() + u"/";
    control_ = CreateProcessControl(options);
    fillerControl_ = CreateProcessControl(options);
    EventLoop loop;  // the probes' loop
    // Ports the system calls free, each kept until all are chosen: one given back at once is
    // soon offered again, and two stand-ins on one port would leave one not running.
    std::vector<std::unique_ptr<TVelUDP>> probes;
    for (int i = 0; i < kMaxServers; ++i) {
      const fs::path folder = root_ / ("srv" + std::to_string(i));
      fs::create_directories(folder);
      fs::copy_file(TERVANE_FAKESRV, folder / "fakesrv");
      probes.push_back(std::make_unique<TVelUDP>(loop));
      probes.back()->Open();
      servers_.push_back({(folder / "fakesrv").u16string(), probes.back()->LocalPort()});
    }
  }

  ~Host() {
    for (const Server& s : servers_) EndAll(*control_, s.exe);
    SetBackground(0);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Brings the number of running stand-ins to at least n; they stay until the end.
  void StartServers(int n) {
    const int first = started_;
    for (; started_ < n; ++started_) {
      const Server& s = servers_[static_cast<std::size_t>(started_)];
      control_->StartServerProcess(s.exe, u"-game cstrike +map de_dust2 +ip 127.0.0.1 -port " + ToU16(s.port), 0,
                                   false, 0xFFFFFFFFu);
    }
    if (started_ > first) WaitReady(first);
  }

  void SetBackground(int n) {
    if (n < background_) {
      EndAll(*fillerControl_, filler_);
      background_ = 0;
    }
    for (; background_ < n; ++background_) {
      if (fillerControl_->StartServerProcess(filler_, u"600", 0, false, 0xFFFFFFFFu) != 0) break;
    }
  }

  struct Server {
    Path exe;
    int port;
  };
  const std::vector<Server>& Servers() const { return servers_; }
  IProcessControl& Control() { return *control_; }
  bool Ready() const { return ready_; }

 private:
  // Every stand-in answers a ping before the benchmark begins, one at a time.
  void WaitReady(int first) {
    EventLoop loop;
    TVelUDP ping(loop);
    int answers = 0;
    ping.OnReceive = [&](TVelUDP& sender) {
      char buffer[256];
      std::string from;
      int port = 0;
      if (sender.ReceiveBuffer(buffer, sizeof buffer, from, port) > 0) ++answers;
    };
    ping.Open();
    const std::string text = "\xFF\xFF\xFF\xFF" "fakesrv ping";
    for (int i = first; i < started_; ++i) {
      const Server& s = servers_[static_cast<std::size_t>(i)];
      const int before = answers;
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (answers == before && std::chrono::steady_clock::now() < deadline) {
        ping.SendString(text, "127.0.0.1", s.port);
        loop.RunUntil([&] { return answers != before; }, 100ms);
      }
      if (answers == before) ready_ = false;
    }
  }


  fs::path root_;
  Path filler_;
  std::vector<Server> servers_;
  std::unique_ptr<IProcessControl> control_;
  std::unique_ptr<IProcessControl> fillerControl_;
  int background_ = 0;
  int started_ = 0;
  bool ready_ = true;
};

Host* host = nullptr;

void BM_RepliesAtScale(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  host->StartServers(count);
  host->SetBackground(static_cast<int>(state.range(1)));
  if (!host->Ready()) state.SkipWithError("a stand-in did not answer its ping");
  struct FixedClock : IClock {
    LocalTime Now() override { return LocalTime{2026, 12, 7, 12, 0, 0}; }
  } clock;
  const fs::path logs = fs::temp_directory_path() / "tervane-replies-bench-log";
  EventLoop loop;
  ServerList list;
  MemoryListView view;
  MessageTexts texts;
  EventLog log(logs.u16string() + u"/", clock, nullptr);
  for (int i = 0; i < count; ++i) {
    const auto& s = host->Servers()[static_cast<std::size_t>(i)];
    auto e = std::make_unique<Server>(NewServerEntry());
    e->Name.assign(u"Server " + ToU16(i));
    e->FileName.assign(s.exe);
    e->Params.assign(u"+ip 127.0.0.1 -port " + ToU16(s.port));
    e->IPAddress.assign("127.0.0.1");
    e->Port = static_cast<std::uint16_t>(s.port);
    e->Affinity = 0xFFFFFFFFu;
    list.push_back(std::move(e));
    AddServerRow(view, *list.back(), texts);
  }
  Servers servers(list, view, texts, host->Control(), log, SupervisionTiming{kCheckDelayMs, 3600000, 10});
  Supervisor supervisor(loop, servers);
  supervisor.CreateEndpoint();
  const int port = supervisor.VelUDP1()->LocalPort();
  const long long dropsBefore = SocketDrops(port);
  long long unanswered = 0, allocated = 0;
  int cycles = 0;
  for (auto _ : state) {
    const long long before = allocations.load();
    supervisor.timerCircleCheckTimer();
    loop.RunUntil([&] { return !supervisor.timerCheckTimeOut.Enabled(); }, 5s);
    if (cycles++ > 0) allocated += allocations.load() - before;
    for (const auto& e : list) unanswered += e->WaitReply || e->Status.network != NetworkState::Normal ? 1 : 0;
  }
  state.counters["allocs"] = cycles > 1 ? static_cast<double>(allocated) / (cycles - 1) : 0;
  state.counters["lost"] = static_cast<double>(SocketDrops(port) - dropsBefore);
  state.counters["unanswered"] = static_cast<double>(unanswered);
  state.counters["processes"] = static_cast<double>(ProcessCount());
  std::error_code ignored;
  fs::remove_all(logs, ignored);
}

void Sizes(benchmark::internal::Benchmark* b) {
  // Grouped by servers, which are only ever added.
  for (int servers : {1, 64, 256, kMaxServers}) {
    for (int background : {0, kMaxBackground}) b->Args({servers, background});
  }
}

BENCHMARK(BM_RepliesAtScale)->Apply(Sizes)->Iterations(kCycles)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tervane

int main(int argc, char** argv) { return tervane::RunWithHost(argc, argv, tervane::host); }
