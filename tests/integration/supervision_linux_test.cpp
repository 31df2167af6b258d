#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "integration_support.h"
#include "planned_restart_support.h"
#include "support/text.h"
#include "support/unique_handle_posix.h"

namespace tervane::testing {
namespace {

int FindPid(const std::string& exe) {
  const UniqueDir proc(opendir("/proc"));
  if (!proc) return -1;
  int found = -1;
  while (dirent* d = readdir(proc.get())) {
    char buf[4096];
    const std::string link = std::string("/proc/") + d->d_name + "/exe";
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == exe) {
      found = std::atoi(d->d_name);
      break;
    }
  }
  return found;
}

std::vector<int> Threads(int pid) {
  std::vector<int> tids;
  const UniqueDir dir(opendir(("/proc/" + std::to_string(pid) + "/task").c_str()));
  if (!dir) return tids;
  while (dirent* d = readdir(dir.get()))
    if (d->d_name[0] != '.') tids.push_back(std::atoi(d->d_name));
  return tids;
}

std::string StatusField(int pid, int tid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field + ":", 0) == 0) {
      std::string value = line.substr(field.size() + 1);
      return std::string(value.begin() + static_cast<long>(value.find_first_not_of(" \t")), value.end());
    }
  return {};
}

int Nice(int pid, int tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), {});
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 19; ++i) rest >> field;  // field 19 is nice
  return std::atoi(field.c_str());
}

TEST_F(Supervision, AffinityAndPriorityReachEveryThreadOfTheServer) {
  if (geteuid() != 0) GTEST_SKIP() << "raising a priority needs root";
  if (sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "needs two processors";
  ServerEntry& e = AddServer("threads", u" -fakesrv.threads 3");
  e.Priority = 1;
  e.Affinity = 2;  // processor 1 only
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal", 30s));
  const int pid = FindPid(Utf16ToUtf8(e.FileName.str()));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitUntil([&] { return Threads(pid).size() >= 4; }, 10s));
  for (int tid : Threads(pid)) {
    EXPECT_EQ(StatusField(pid, tid, "Cpus_allowed_list"), "1") << "thread " << tid;
    EXPECT_EQ(Nice(pid, tid), -10) << "thread " << tid;
  }
  // A thread's affinity changed by hand is put back by the next cycles.
  const int someTid = Threads(pid).back();
  cpu_set_t all;
  CPU_ZERO(&all);
  CPU_SET(0, &all);
  CPU_SET(1, &all);
  ASSERT_EQ(sched_setaffinity(someTid, sizeof all, &all), 0);
  EXPECT_TRUE(WaitUntil([&] { return StatusField(pid, someTid, "Cpus_allowed_list") == "1"; }, 5s));
}

// The server's TCP port is held by a socket that never listens: the stand-in runs without Source
// RCON, and a connection to it is refused.
TEST_F(PlannedRestarts, AClosedRconPortIsSaidOnceAndTheServerRestartedAsWithoutIt) {
  RestartSettings settings;
  settings.stopCommand = "quit";
  settings.stopSeconds = 30;
  settings.rconProtocol = RconDialect::Source;
  Configure(settings);
  ServerEntry& e = AddServer("closed", u" +rcon_password secret");
  const UniqueFd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(e.Port);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
  Start();
  ASSERT_TRUE(WaitForCell(0, ColNetworkStatus, u"Normal"));
  const auto planned = std::chrono::steady_clock::now();
  ASSERT_NE(rig.servers.Plans().PlanRestart(0, 0), 0);
  const auto restarted = WhenLogged({u"closed: Restarting. Reason: Planned restart."})[0];
  ASSERT_TRUE(restarted);
  EXPECT_LT(*restarted - planned, 10s) << "not kept waiting for StopSeconds";
  const auto logs = LogsWithoutTime();
  const std::u16string refused =
      u"closed: cannot send the stop command through RCON: RCON connection refused (while connecting)";
  EXPECT_EQ(std::count(logs.begin(), logs.end(), refused), 1);
}

}  // namespace
}  // namespace tervane::testing
