// What the tests, the benchmarks and the probe put together the same way, written once: a
// fixed local clock; a monitor over an in-memory view and a process control of the caller's,
// with the parts of its supervision named for the test to reach; and the kernel's count of the
// datagrams dropped on a socket.
#pragma once

#include <deque>
#include <initializer_list>
#include <memory>

#include "monitor/monitor.h"

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
  Path folder = {};          // logs/ and the list file lie here (with its trailing separator)
  WallClock wallClock = {};  // the statuses' clock; empty: the system's
  bool showLog = true;       // the view keeps the log lines too
  DatagramPortMaker datagramPort = {};  // the supervision's UDP port; empty: a socket
};

// The view of a rig: View (MemoryListView, or one derived from it) that may leave the log out.
template <typename View>
class RigView final : public View {
 public:
  explicit RigView(bool showLog) : showLog_(showLog) {}
  void AppendLogLine(const std::u16string& line) override {
    if (showLog_) View::AppendLogLine(line);
  }

 private:
  bool showLog_;
};

MonitorOptions RigMonitorOptions(RigOptions options, IClock& clock);

// The supervision as the programs make it, a Monitor, with the parts the tests reach directly.
template <typename View = MemoryListView>
class BasicRig {
 public:
  BasicRig(EventLoop& loop, IProcessControl& process, RigOptions options)
      : view(options.showLog), monitor(loop, view, process, RigMonitorOptions(std::move(options), clock)) {}

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

  FixedClock clock;
  RigView<View> view;
  Monitor monitor;
  ServerList& list = monitor.List();
  MessageTexts& texts = monitor.Texts();
  EventLog& log = monitor.Log();
  Servers& servers = monitor.States();
  Supervisor& supervisor = monitor.Supervision();
};
using SupervisionRig = BasicRig<>;

// A monitor as the programs make one, over an in-memory view and the fixed clock, with its
// list file and logs/ in folder (the options' own paths and clock, when given, are kept).
class MonitorRig {
 public:
  MonitorRig(EventLoop& loop, IProcessControl& process, const Path& folder, MonitorOptions options = {});
  MemoryListView view;
  FixedClock clock;
  Monitor monitor;
};

// The kernel's count of the datagrams dropped on the UDP socket bound to this local port: from
// /proc/net/udp on Linux, and under Wine from the host's same table through its drive Z:.
// -1 when unknown.
long long SocketDrops(int port);

}  // namespace tervane::testbed
