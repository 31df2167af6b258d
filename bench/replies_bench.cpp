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
//
// BM_KespCycle measures the real program instead: kesp, built optimised, supervising the same
// stand-ins with the shipped timing. Its cycles are counted by the keep-alives it sends to a
// service manager's socket (one after each cycle), and its CPU time comes from the kernel's
// scheduler statistics (/proc/<pid>/task/*/schedstat, in nanoseconds), so one iteration is one
// whole cycle of kesp over all its threads: the searches, the queries, the replies, the timeout
// check and whatever its other threads did meanwhile. Reported:
//   kesp_cpu_ms  kesp's CPU time per cycle, all threads, in milliseconds
//   floor_cpu_ms the floor's, measured earlier in the same run with as many servers and processes
//   ratio        kesp_cpu_ms / floor_cpu_ms
//   wakeups      the times per cycle kesp's threads gave up the processor or were made to (their
//                voluntary and involuntary context switches, every thread): on a virtual machine
//                each costs CPU time of its own, counted in kesp_cpu_ms
//   startup_cpu_ms  kesp's CPU time from its start to the end of its first cycle (the list read,
//                the first look at every server, the first queries and their replies)
//   kesp_rss_mb  kesp's resident memory after the cycles (VmRSS), with no kesp.ini
//   kesp_libs    the shared objects mapped into kesp (/proc/<pid>/maps)
// TERVANE_BENCH_KESP names another kesp to measure (an older build, for a comparison);
// TERVANE_BENCH_CYCLES the cycles of each run (10 unless set).
//
// BM_QueryFloor is what any watchdog pays on this machine for the same work at the least: a
// thread that sleeps as kesp does (3.5 s, then 0.5 s), sends the query kesp sends (A2S_INFO) to
// each stand-in and reads the replies, measured the same way (floor_cpu_ms, wakeups). It runs
// before BM_KespCycle, which reports the ratio. kesp's own cost is the difference.
//   unanswered   servers kesp did not show as answering at the end
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "core/server_list.h"
#include "core/supervisor.h"
#include "net/query.h"
#include "net/vel_udp.h"
#include "support/unique_handle_posix.h"
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
// The cycles of each run of the real kesp and of the floor.
const int kCycles = [] {
  const char* set = std::getenv("TERVANE_BENCH_CYCLES");
  return set && std::atoi(set) > 0 ? std::atoi(set) : 10;
}();

// The floor's CPU per cycle by servers and extra processes, for the ratio.
std::map<std::pair<int, int>, double> floors;
constexpr unsigned kCheckDelayMs = 500;

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
      static_cast<void>(control_->StartServerProcess(
          s.exe, u"-game cstrike +map de_dust2 +ip 127.0.0.1 -port " + ToU16(s.port), 0, false, 0xFFFFFFFFu));
    }
    if (started_ > first) WaitReady(first);
  }

  void SetBackground(int n) {
    if (n < background_) {
      EndAll(*fillerControl_, filler_);
      background_ = 0;
    }
    for (; background_ < n; ++background_) {
      if (!fillerControl_->StartServerProcess(filler_, u"600", 0, false, 0xFFFFFFFFu)) break;
    }
  }

  struct Server {
    Path exe;
    int port;
  };
  const std::vector<Server>& Servers() const { return servers_; }
  const fs::path& Root() const { return root_; }
  IProcessControl& Control() { return *control_; }
  bool Ready() const { return ready_; }

 private:
  // Every stand-in answers a ping before the benchmark begins, one at a time.
  void WaitReady(int first) {
    EventLoop loop;
    TVelUDP ping(loop);
    int answers = 0;
    ping.OnReceive = [&](IDatagramPort& sender) {
      char buffer[256];
      std::uint32_t from = 0;
      std::uint16_t port = 0;
      if (sender.ReceiveWaiting(buffer, sizeof buffer, from, port) > 0) ++answers;
    };
    ping.Open();
    const std::string text = "\xFF\xFF\xFF\xFF" "fakesrv ping";
    for (int i = first; i < started_; ++i) {
      const Server& s = servers_[static_cast<std::size_t>(i)];
      const int before = answers;
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (answers == before && std::chrono::steady_clock::now() < deadline) {
        ping.SendBufferTo(text.data(), static_cast<int>(text.size()), 0x7F000001, static_cast<std::uint16_t>(s.port));
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
  const fs::path logs = fs::temp_directory_path() / "tervane-replies-bench-log";
  EventLoop loop;
  testbed::SupervisionRig rig(loop, host->Control(),
                              {SupervisionTiming{kCheckDelayMs, 3600000, 10}, logs.u16string() + u"/", {}, false});
  for (int i = 0; i < count; ++i) {
    const auto& s = host->Servers()[static_cast<std::size_t>(i)];
    rig.Add(BenchServer(i, s.exe, s.port));
  }
  Supervisor& supervisor = rig.supervisor;
  supervisor.CreateEndpoint();
  const int port = supervisor.VelUDP1()->LocalPort();
  const long long dropsBefore = testbed::SocketDrops(port);
  long long unanswered = 0, allocated = 0;
  int cycles = 0;
  for (auto _ : state) {
    const long long before = allocations.load();
    supervisor.timerCircleCheckTimer();
    loop.RunUntil([&] { return !supervisor.timerCheckTimeOut.Enabled(); }, 5s);
    if (cycles++ > 0) allocated += allocations.load() - before;
    for (const auto& e : rig.list) unanswered += e->WaitReply || e->Status.network != NetworkState::Normal ? 1 : 0;
  }
  state.counters["allocs"] = cycles > 1 ? static_cast<double>(allocated) / (cycles - 1) : 0;
  state.counters["lost"] = static_cast<double>(testbed::SocketDrops(port) - dropsBefore);
  state.counters["unanswered"] = static_cast<double>(unanswered);
  state.counters["processes"] = static_cast<double>(ProcessCount());
  std::error_code ignored;
  fs::remove_all(logs, ignored);
}

// The CPU time the kernel counted for a process so far, in nanoseconds (its threads together).
long long CpuNanoseconds(pid_t pid) {
  long long total = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream stat(task.path() / "schedstat");
    long long ns = 0;
    if (stat >> ns) total += ns;
  }
  return total;
}

// A process's resident memory (VmRSS), in megabytes.
double ResidentMegabytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
  return 0;
}

// The shared objects a process has mapped, each counted once.
std::size_t SharedObjects(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::set<std::string> objects;
  for (std::string line; std::getline(maps, line);) {
    const std::size_t path = line.find('/');
    if (path != std::string::npos && line.find(".so", path) != std::string::npos) objects.insert(line.substr(path));
  }
  return objects.size();
}

// The times a thread gave up the processor or was made to, so far, from its status file.
long long ContextSwitchesOf(const fs::path& status) {
  std::ifstream in(status);
  long long total = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find("ctxt_switches:") != std::string::npos) total += std::stoll(line.substr(line.find(':') + 1));
  return total;
}

// The same for every thread of a process.
long long ContextSwitches(const std::string& tasks) {
  long long total = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator(tasks, ec)) total += ContextSwitchesOf(task.path() / "status");
  return total;
}

std::string Kesp() {
  const char* other = std::getenv("TERVANE_BENCH_KESP");
  return other && *other ? other : TERVANE_KESP;
}

// The real kesp in a program folder of its own, supervising the first n stand-ins, with a
// service manager's socket that hears its keep-alives.
class KespRun {
 public:
  explicit KespRun(int count) : folder_(host->Root() / ("kesp-" + std::to_string(count))) {
    fs::create_directories(folder_);
    fs::copy_file(Kesp(), folder_ / "kesp", fs::copy_options::overwrite_existing);
    ServerList list;
    for (int i = 0; i < count; ++i) {
      const auto& s = host->Servers()[static_cast<std::size_t>(i)];
      list.push_back(BenchServer(i, s.exe, s.port, u"-game cstrike +map de_dust2 "));
    }
    SaveServerList(list, BossKeyOptions{}, (folder_ / "serverlist.dat").u16string());

    const std::string socketPath = (folder_ / "notify").string();
    notify_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ::unlink(socketPath.c_str());  // the socket of an earlier run with as many servers
    if (::bind(notify_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;

    const std::string exe = (folder_ / "kesp").string();
    std::string environment = "NOTIFY_SOCKET=" + socketPath;
    char* argv[] = {const_cast<char*>(exe.c_str()), nullptr};
    char* envp[] = {environment.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~KespRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t Pid() const { return pid_; }

  // Waits for the next keep-alive, that is the end of the next cycle; false after limit.
  bool NextCycle(std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    char buffer[512];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{notify_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t n = ::recv(notify_.get(), buffer, sizeof buffer - 1, 0);
      if (n > 0 && std::string_view(buffer, static_cast<std::size_t>(n)).find("WATCHDOG=1") != std::string_view::npos)
        return true;
    }
  }

  // The servers kesp does not show as answering, from its own status.
  int Unanswered(int count) const {
    const std::string command = "cd '" + folder_.string() + "' && ./kesp status > status.txt 2>&1";
    if (std::system(command.c_str()) != 0) return count;
    std::ifstream in(folder_ / "status.txt");
    std::string line;
    int normal = 0;
    while (std::getline(in, line)) normal += line.find("Network Status: Normal") != std::string::npos ? 1 : 0;
    return count - normal;
  }

 private:
  fs::path folder_;
  UniqueFd notify_;
  pid_t pid_ = 0;
};

void BM_KespCycle(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  host->StartServers(count);
  host->SetBackground(static_cast<int>(state.range(1)));
  if (!host->Ready()) state.SkipWithError("a stand-in did not answer its ping");
  KespRun kesp(count);
  // The first cycles learn every server (both queries, the first searches): left out.
  double startup = 0;
  for (int warm = 0; warm < 3; ++warm) {
    if (kesp.Pid() == 0 || !kesp.NextCycle()) {
      state.SkipWithError("kesp did not run its cycles");
      return;
    }
    if (warm == 0) startup = static_cast<double>(CpuNanoseconds(kesp.Pid())) / 1e6;
  }
  const long long before = CpuNanoseconds(kesp.Pid());
  const std::string tasks = "/proc/" + std::to_string(kesp.Pid()) + "/task";
  const long long switchesBefore = ContextSwitches(tasks);
  int cycles = 0;
  for (auto _ : state) cycles += kesp.NextCycle() ? 1 : 0;
  const long long used = CpuNanoseconds(kesp.Pid()) - before;
  const long long switches = ContextSwitches(tasks) - switchesBefore;
  const double cpu = cycles > 0 ? static_cast<double>(used) / 1e6 / cycles : 0;
  state.counters["kesp_cpu_ms"] = cpu;
  state.counters["startup_cpu_ms"] = startup;
  const auto floor = floors.find({count, static_cast<int>(state.range(1))});
  if (floor != floors.end()) {
    state.counters["floor_cpu_ms"] = floor->second;
    state.counters["ratio"] = floor->second > 0 ? cpu / floor->second : 0;
  }
  state.counters["wakeups"] = cycles > 0 ? static_cast<double>(switches) / cycles : 0;
  state.counters["kesp_rss_mb"] = ResidentMegabytes(kesp.Pid());
  state.counters["kesp_libs"] = static_cast<double>(SharedObjects(kesp.Pid()));
  state.counters["unanswered"] = kesp.Unanswered(count);
  state.counters["processes"] = static_cast<double>(ProcessCount());
}

void BM_QueryFloor(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  host->StartServers(count);
  host->SetBackground(static_cast<int>(state.range(1)));
  const UniqueFd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int buffer = 16 * 1024 * 1024;
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    state.SkipWithError("no socket");
    return;
  }
  const std::string schedstat = "/proc/self/task/" + std::to_string(::gettid()) + "/schedstat";
  auto threadCpu = [&] {
    std::ifstream stat(schedstat);
    long long ns = 0;
    stat >> ns;
    return ns;
  };
  long long used = 0, answers = 0;
    // The floor's own thread: the program's others (the host's) are not the floor.
  const fs::path threadStatus = "/proc/self/task/" + std::to_string(::gettid()) + "/status";
  const long long switchesBefore = ContextSwitchesOf(threadStatus);
  for (auto _ : state) {
    const long long before = threadCpu();  // the whole cycle, its wake-ups too, as kesp's
    std::this_thread::sleep_for(3500ms);
    for (int i = 0; i < count; ++i) {
      sockaddr_in to = local;
      to.sin_port = htons(static_cast<std::uint16_t>(host->Servers()[static_cast<std::size_t>(i)].port));
      ::sendto(socket.get(), InfoQuery.data(), InfoQuery.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
    }
    std::this_thread::sleep_for(500ms);
    char reply[2048];
    while (::recv(socket.get(), reply, sizeof reply, 0) > 0) ++answers;
    used += threadCpu() - before;
  }
  const double cycles = static_cast<double>(state.iterations());
  state.counters["floor_cpu_ms"] = static_cast<double>(used) / 1e6 / cycles;
  floors[{count, static_cast<int>(state.range(1))}] = static_cast<double>(used) / 1e6 / cycles;
  state.counters["wakeups"] = static_cast<double>(ContextSwitchesOf(threadStatus) - switchesBefore) / cycles;
  state.counters["answers"] = static_cast<double>(answers) / cycles;
  state.counters["processes"] = static_cast<double>(ProcessCount());
}

void Sizes(benchmark::internal::Benchmark* b) {
  // Grouped by servers, which are only ever added.
  for (int servers : {1, 64, kMaxServers}) {
    for (int background : {0, kMaxBackground}) b->Args({servers, background});
  }
}

BENCHMARK(BM_RepliesAtScale)->Apply(Sizes)->Iterations(kCycles)->Unit(benchmark::kMillisecond);
// The floor and kesp side by side for each size, so that both see the same host.
const bool registered = [] {
  for (int servers : {1, 64, kMaxServers}) {
    for (int background : {0, kMaxBackground}) {
      benchmark::RegisterBenchmark("BM_QueryFloor", BM_QueryFloor)
          ->Args({servers, background})->Iterations(kCycles)->Unit(benchmark::kMillisecond)->UseRealTime();
      benchmark::RegisterBenchmark("BM_KespCycle", BM_KespCycle)
          ->Args({servers, background})->Iterations(kCycles)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
  }
  return true;
}();

}  // namespace
}  // namespace tervane

int main(int argc, char** argv) { return tervane::RunWithHost(argc, argv, tervane::host); }
