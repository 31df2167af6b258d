#include "testbed.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace tervane::testbed {

LocalTime FixedClock::Now() {
  const LocalTime t = times_.front();
  if (times_.size() > 1) times_.pop_front();
  return t;
}

namespace {
MonitorOptions InFolder(MonitorOptions o, const Path& folder, IClock& clock) {
  if (o.programDir.empty()) o.programDir = folder;
  if (o.savePath.empty()) o.savePath = folder + u"serverlist.dat";
  if (!o.clock) o.clock = &clock;
  return o;
}
}  // namespace

MonitorOptions RigMonitorOptions(RigOptions options, IClock& clock) {
  MonitorOptions o;
  o.programDir = options.folder;
  o.savePath = options.folder + u"serverlist.dat";
  o.timing = options.timing;
  o.clock = &clock;
  o.wallClock = std::move(options.wallClock);
  o.datagramPort = std::move(options.datagramPort);
  return o;
}

MonitorRig::MonitorRig(EventLoop& loop, IProcessControl& process, const Path& folder, MonitorOptions options)
    : monitor(loop, view, process, InFolder(std::move(options), folder, clock)) {}

long long SocketDrops(int port) {
  for (const char* table : {"/proc/net/udp", "Z:\\proc\\net\\udp"}) {
    std::ifstream in(table);
    std::string line;
    if (!std::getline(in, line)) continue;  // the heading, or no such table here
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, field, last;
      fields >> slot >> local;
      const auto colon = local.find(':');
      if (colon == std::string::npos || std::strtol(local.c_str() + colon + 1, nullptr, 16) != port) continue;
      while (fields >> field) last = field;
      return std::atoll(last.c_str());
    }
  }
  return -1;
}

}  // namespace tervane::testbed
