// What the tests, the benchmarks and the probe put together the same way, written once: a
// fixed local clock; a supervision as the monitor composes it (the list with its view, the
// texts, the event log, the live-state model and the supervisor) over a process control of the
// caller's; a monitor over an in-memory view; and the kernel's count of the datagrams dropped
// on a socket.
#pragma once

#include <deque>
#include <initializer_list>
#include <memory>

#include "core/supervisor.h"
#include "monitor/monitor.h"
#include "support/event_log.h"

namespace tervane::testbed {

// A local clock that answers the given times in turn and then keeps the last one; by default
// always 7 December 2026, 08:00:00.
class FixedClock final : public IClock {
 public:
  FixedClock(std::initializer_list<LocalTime> times = {LocalTime{2026, 12, 7, 8, 0, 0}}) : times_(times) {}
  LocalTime Now() override;

 private:
  std::deque<LocalTime> times_;
};

struct RigOptions {
  SupervisionTiming timing = {};
  Path folder = {};          // logs/ lies here (with its trailing separator)
  WallClock wallClock = {};  // the statuses' clock; empty: the system's
  bool showLog = true;       // the view keeps the log lines too
};

// The supervision of a monitor without the monitor: the parts it is made of, each a member the
// test reaches directly. View is the list view (MemoryListView, or one derived from it).
template <typename View = MemoryListView>
class BasicRig {
 public:
  BasicRig(EventLoop& loop, IProcessControl& process, RigOptions options)
      : log(options.folder, clock,
            options.showLog ? std::function<void(const std::u16string&)>(
                                  [this](const std::u16string& line) { view.AppendLogLine(line); })
                            : nullptr),
        servers(list, view, texts, process, log, options.timing, std::move(options.wallClock)),
        supervisor(loop, servers) {}

  // Appends a server and its row.
  Server& Add(std::unique_ptr<Server> server) {
    servers.Add(std::move(server));
    return *list.back();
  }
  // Ends the timer chain: no cycle and no check comes any more, whatever the loop runs.
  void Stop() {
    supervisor.timerCircleCheck.SetEnabled(false);
    supervisor.timerCheckTimeOut.SetEnabled(false);
  }

  ServerList list;
  View view;
  MessageTexts texts;
  FixedClock clock;
  EventLog log;
  Servers servers;
  Supervisor supervisor;
};
using SupervisionRig = BasicRig<>;

// A monitor as the programs make one, over an in-memory view and the fixed clock, with its
// list file and logs/ in folder (the options' own paths and clock, when given, are kept).
class MonitorRig {
 public:
  MonitorRig(EventLoop& loop, IProcessControl& process, const Path& folder, MonitorOptions options = {});
  // The monitor's parts, for a test's set-up and its checks (no door gets them).
  ServerList& List() { return monitor.list_; }
  Servers& States() { return monitor.servers_; }
  Supervisor& Supervision() { return monitor.supervisor_; }
  MemoryListView view;
  FixedClock clock;
  Monitor monitor;
};

// The kernel's count of the datagrams dropped on the UDP socket bound to this local port: from
// /proc/net/udp on Linux, and under Wine from the host's same table through its drive Z:.
// -1 when unknown.
long long SocketDrops(int port);

}  // namespace tervane::testbed
