// How many replies the supervision loses when hundreds of servers answer at once, on the
// platform it runs on (the Windows build runs under Wine as well): the real supervision cycle and
// endpoint, with the servers' side played by one thread that holds a socket on 127.0.0.1 per
// server and answers every query with an info reply at once. Every server counts as running.
//
//   replies_probe [servers] [cycles]      (512 and 10 by default)
//
// Prints, per cycle, the servers without a Normal answer at the response-timeout check, then the
// totals, the receive buffer the system granted, the replies sent, and the datagrams the kernel
// dropped on the endpoint's socket: from /proc/net/udp on Linux, and under Wine from the same
// table through its drive Z: (the host's sockets are Wine's); elsewhere "unknown".
// A figure to report, not a test: the exit code is 0 whenever the probe could run.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/servers.h"
#include "core/supervisor.h"
#include "fakesrv.h"
#include "net/query.h"
#include "net/vel_udp.h"
#include "support/text.h"
#include "testbed.h"

namespace tervane {
namespace {

using namespace std::chrono_literals;

// Every server runs; nothing is started, ended or shown.
class AllRunning final : public IProcessControl {
 public:
  bool IsSameFile(const Path& a, const Path& b) override { return a == b; }
  bool IsServerRunning(const Path&) override { return true; }
  Expected<void> StartServerProcess(const Path&, const std::u16string&, std::uint8_t, bool, std::uint32_t) override {
    return {};
  }
  Look TerminateServerProcess(const Path&) override { return Look::Absent(); }
  void SetServerPriority(const Path&, std::uint8_t) override {}
  void SetServerAffinity(const Path&, std::uint32_t) override {}
  void Sleep(unsigned) override {}
};

// The servers' side: its own thread and loop, a socket per server, an info reply to every query.
class Responders {
 public:
  explicit Responders(int count) : thread_([this, count] { Run(count); }) {
    while (!ready_.load()) std::this_thread::sleep_for(10ms);
  }
  ~Responders() {
    stop_ = true;
    thread_.join();
  }
  const std::vector<int>& Ports() const { return ports_; }
  long long Sent() const { return sent_.load(); }
  bool Failed() const { return failed_.load(); }

 private:
  void Run(int count) {
    EventLoop loop;
    fakesrv::Settings settings;
    settings.map = "de_dust2";
    const std::vector<std::uint8_t> reply = fakesrv::BuildInfoReply(settings);
    std::vector<std::unique_ptr<TVelUDP>> sockets;
    for (int i = 0; i < count; ++i) {
      auto s = std::make_unique<TVelUDP>(loop);
      s->OnReceive = [this, &reply](IDatagramPort& socket) {
        char buffer[256];
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        if (socket.ReceiveWaiting(buffer, sizeof buffer, address, port) > 4 &&
            socket.SendBufferTo(reply.data(), static_cast<int>(reply.size()), address, port) > 0)
          ++sent_;
      };
      s->SetReceiveBufferSize(64 * 1024);
      s->Open();
      if (!s->Active()) failed_ = true;
      ports_.push_back(s->LocalPort());
      sockets.push_back(std::move(s));
    }
    ready_ = true;
    while (!stop_.load()) loop.RunUntil([] { return false; }, 100ms);
  }

  std::vector<int> ports_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<long long> sent_{0};
  std::thread thread_;
};

int Probe(int count, int cycles) {
  Responders responders(count);
  if (responders.Failed()) {
    std::printf("could not open %d sockets for the servers\n", count);
    return 1;
  }
  EventLoop loop;
  AllRunning process;
  // Nothing is started, so nothing is logged; the folder is there all the same.
  testbed::SupervisionRig rig(loop, process,
                              {SupervisionTiming{500, 3600000, 10},
                               (std::filesystem::temp_directory_path() / "tervane-replies-probe").u16string() + u"/",
                               {}, false});
  for (int i = 0; i < count; ++i) {
    auto e = std::make_unique<Server>(NewServerEntry());
    const int port = responders.Ports()[static_cast<std::size_t>(i)];
    e->Name.assign(u"Server " + ToU16(i));
    e->FileName.assign(u"server" + ToU16(i));
    e->Params.assign(u"+ip 127.0.0.1 -port " + ToU16(port));
    e->IPAddress.assign("127.0.0.1");
    e->Port = static_cast<std::uint16_t>(port);
    rig.Add(std::move(e));
  }
  Supervisor& supervisor = rig.supervisor;
  supervisor.CreateEndpoint();
  const int localPort = supervisor.VelUDP1()->LocalPort();
  const long long dropsBefore = testbed::SocketDrops(localPort);
  long long unanswered = 0;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    supervisor.timerCircleCheckTimer();
    loop.RunUntil([&] { return !supervisor.timerCheckTimeOut.Enabled(); }, 5s);
    // The servers' side answers in its own time: what it had not sent by the check was late
    // there, not lost here.
    const long long sentByCheck = responders.Sent();
    int missing = 0;
    for (const auto& e : rig.list) missing += e->Status.network != NetworkState::Normal ? 1 : 0;
    unanswered += missing;
    std::printf("cycle %2d: %d of %d servers without a Normal answer; replies sent so far %lld\n", cycle, missing,
                count, sentByCheck);
  }
  const long long dropsAfter = testbed::SocketDrops(localPort);
  const std::string drops = dropsBefore < 0 || dropsAfter < 0 ? "unknown" : std::to_string(dropsAfter - dropsBefore);
  std::printf("servers %d, cycles %d: %lld server-checks without an answer; receive buffer granted %d bytes; "
              "replies sent %lld; datagrams dropped on the endpoint's socket %s\n",
              count, cycles, unanswered, dynamic_cast<TVelUDP&>(*supervisor.VelUDP1()).ReceiveBufferGranted(), responders.Sent(),
              drops.c_str());
  return 0;
}

}  // namespace
}  // namespace tervane

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 512;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 10;
  if (count < 1 || count > 4096 || cycles < 1 || cycles > 1000) {
    std::fprintf(stderr, "usage: replies_probe [servers 1..4096] [cycles 1..1000]\n");
    return 2;
  }
  return tervane::Probe(count, cycles);
}
