// What Linux adds: nice values and affinity on every thread, the server's session and
// standard handles, its output file, collecting ended servers, and the process list that a
// supervision cycle takes once.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

#include "process/output_cap_linux.h"
#include "process_fixture.h"
#include "support/unique_handle_posix.h"

namespace tervane::testing {
namespace {

using namespace std::chrono_literals;

std::string ProcFile(ProcessId pid, const std::string& leaf) {
  return "/proc/" + std::to_string(pid) + "/" + leaf;
}

std::string ReadLink(const std::string& link) {
  char buffer[4096];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::vector<std::string> Threads(ProcessId pid) {
  std::vector<std::string> tids;
  for (const auto& entry : std::filesystem::directory_iterator(ProcFile(pid, "task")))
    tids.push_back(entry.path().filename().string());
  return tids;
}

// Field 19 of the thread's stat line, counted from the pid.
std::vector<int> NiceOfEveryThread(ProcessId pid) {
  std::vector<int> nices;
  for (const std::string& tid : Threads(pid)) {
    std::ifstream in(ProcFile(pid, "task/" + tid + "/stat"));
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 19 && fields >> field; ++i) {
    }
    nices.push_back(std::stoi(field));
  }
  return nices;
}

unsigned long CpusAllowed(const std::string& statusFile) {
  std::ifstream in(statusFile);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Cpus_allowed:", 0) == 0) {
      std::string hex;
      for (char c : line.substr(13))
        if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
      return std::stoul(hex.substr(hex.size() > 8 ? hex.size() - 8 : 0), nullptr, 16);
    }
  }
  return 0;
}

std::vector<unsigned long> CpusOfEveryThread(ProcessId pid) {
  std::vector<unsigned long> masks;
  for (const std::string& tid : Threads(pid))
    masks.push_back(CpusAllowed(ProcFile(pid, "task/" + tid + "/status")));
  return masks;
}

bool AllEqual(const auto& values, auto expected) {
  if (values.empty()) return false;
  for (const auto& value : values)
    if (value != expected) return false;
  return true;
}

std::string ReadText(const Path& file) {
  std::ifstream in(Fs(file), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A server with three threads of its own besides the main one, started by the control.
ProcessId StartThreaded(IProcessControl& control, const Path& server, std::uint8_t priority,
                        std::uint32_t affinity) {
  EXPECT_EQ(control.StartServerProcess(server, u"--threads 3 --report ready --life 60", priority,
                                       false, affinity).Error(),
            0u);
  const Path ready = server.substr(0, server.rfind(u'/') + 1) + u"ready";
  if (!WaitFor([&] { return FileExists(ready); })) return -1;
  const auto pids = ProcessesOf(server);
  return pids.size() == 1 ? pids[0] : -1;
}

class LinuxProcessControlTest : public ProcessControlTest {
 protected:
  ProcessId Threaded(const Path& server, std::uint8_t priority, std::uint32_t affinity) {
    return StartThreaded(*control_, server, priority, affinity);
  }
};

TEST_F(LinuxProcessControlTest, PriorityIsTheNiceValueOfEveryThread) {
  if (::geteuid() != 0) GTEST_SKIP() << "raising priority needs root";
  const Path server = PlaceCopy(u"srv");
  const ProcessId pid = Threaded(server, 1, 0xFFFFFFFFu);
  ASSERT_GT(pid, 0);
  ASSERT_GE(Threads(pid).size(), 4u);
  EXPECT_TRUE(AllEqual(NiceOfEveryThread(pid), -10)) << "High at the start";

  const std::vector<std::pair<std::uint8_t, int>> steps{{0, 0}, {2, -20}, {1, -10}, {200, -20}, {0, 0}};
  for (const auto& [code, nice] : steps) {
    control_->SetServerPriority(server, code);
    EXPECT_TRUE(AllEqual(NiceOfEveryThread(pid), nice)) << "code " << int(code);
  }
}

TEST_F(LinuxProcessControlTest, NormalPriorityNeedsNoRights) {
  const Path server = PlaceCopy(u"srv");
  const ProcessId pid = Threaded(server, 0, 0xFFFFFFFFu);
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(AllEqual(NiceOfEveryThread(pid), 0));
}

TEST_F(LinuxProcessControlTest, AffinityOfEveryThread) {
  const unsigned long online = CpusAllowed("/proc/self/status");
  const Path server = PlaceCopy(u"srv");
  const ProcessId pid = Threaded(server, 0, 1);
  ASSERT_GT(pid, 0);
  ASSERT_GE(Threads(pid).size(), 4u);
  EXPECT_TRUE(AllEqual(CpusOfEveryThread(pid), 1ul)) << "CPU 0 only, from the start";

  control_->SetServerAffinity(server, 0);
  EXPECT_TRUE(AllEqual(CpusOfEveryThread(pid), 1ul)) << "a mask of 0 is refused and ignored";

  if ((online & 2ul) == 0) GTEST_SKIP() << "one processor only";
  control_->SetServerAffinity(server, 2);
  EXPECT_TRUE(AllEqual(CpusOfEveryThread(pid), 2ul));
  control_->SetServerAffinity(server, 0xFFFFFFFFu);
  EXPECT_TRUE(AllEqual(CpusOfEveryThread(pid), online)) << "absent processors are left out";
}

// The cycle asks for the mask each time; it is applied when it or the process changed, and a
// mask set by hand is put right within a bounded number of cycles.
TEST_F(LinuxProcessControlTest, CyclesApplyAChangedMaskAndMendOneSetByHand) {
  if ((CpusAllowed("/proc/self/status") & 2ul) == 0) GTEST_SKIP() << "one processor only";
  const Path server = PlaceCopy(u"srv");
  const ProcessId pid = Threaded(server, 0, 1);
  ASSERT_GT(pid, 0);
  auto cycle = [&](std::uint32_t mask) {
    control_->BeginCycle();
    EXPECT_TRUE(control_->IsServerRunning(server));
    control_->SetServerAffinity(server, mask);
    control_->EndCycle();
  };
  cycle(1);
  cycle(2);
  EXPECT_TRUE(AllEqual(CpusOfEveryThread(pid), 2ul)) << "a changed mask at the next cycle";

  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  for (const std::string& tid : Threads(pid)) ::sched_setaffinity(std::stoi(tid), sizeof one, &one);
  int cycles = 0;
  while (!AllEqual(CpusOfEveryThread(pid), 2ul) && cycles < 40) {
    cycle(2);
    ++cycles;
  }
  EXPECT_LE(cycles, 16);
}

// What the system refuses is answered for the server, at its start and when set: a mask of only
// absent processors, and a priority above normal without the right to raise it.
TEST_F(LinuxProcessControlTest, RefusedSettingsAreReportedWithTheSystemsReason) {
  const bool root = ::geteuid() == 0;
  constexpr std::uint32_t kAbsentOnly = 1u << 31;
  if ((CpusAllowed("/proc/self/status") & (1ul << 31)) != 0) GTEST_SKIP() << "processor 31 is present";
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(Threaded(server, 1, kAbsentOnly), 0);
  EXPECT_EQ(control_->LastApplyErrors(server), (ApplyErrors{root ? 0u : std::uint32_t(EACCES), std::uint32_t(EINVAL)}));
  struct Step {
    bool priority;
    std::uint32_t value;
    ApplyErrors expected;
  };
  const std::vector<Step> steps = {
      {false, 1, {root ? 0u : std::uint32_t(EACCES), 0}},
      {true, 0, {0, 0}},
      {false, kAbsentOnly, {0, std::uint32_t(EINVAL)}},
      {false, 0, {0, std::uint32_t(EINVAL)}},
      {true, 2, {root ? 0u : std::uint32_t(EACCES), std::uint32_t(EINVAL)}},
  };
  for (const Step& step : steps) {
    if (step.priority) control_->SetServerPriority(server, static_cast<std::uint8_t>(step.value));
    else control_->SetServerAffinity(server, step.value);
    EXPECT_EQ(control_->LastApplyErrors(server), step.expected) << step.priority << " " << step.value;
  }
  EXPECT_EQ(control_->LastApplyErrors(PlaceCopy(u"other")), ApplyErrors{}) << "never applied";
}

TEST_F(LinuxProcessControlTest, OwnSessionQuietInputOutputAppendedNothingInherited) {
  // A descriptor of the monitor that is not close-on-exec, as a careless socket would be.
  int leaky[2];
  ASSERT_EQ(::pipe(leaky), 0);
  const UniqueFd leakyEnds[2] = {UniqueFd(leaky[0]), UniqueFd(leaky[1])};
  const std::string leakyName = ReadLink("/proc/self/fd/" + std::to_string(leaky[0]));

  const Path outputFolder = temp_.Dir() + u"logs/deeper";  // missing, and without a separator
  auto control = CreateProcessControl({outputFolder});
  const Path server = PlaceCopy(u"srv");
  const Path output = ServerOutputFile(outputFolder + u"/", server);

  for (int round = 1; round <= 2; ++round) {
    ASSERT_EQ(control->StartServerProcess(server, u"--say hello --life 60", 0, false, 1).Error(), 0u);
    const auto pids = WaitForProcesses(server, 1);
    ASSERT_EQ(pids.size(), 1u);
    const ProcessId pid = pids[0];
    EXPECT_EQ(::getsid(static_cast<pid_t>(pid)), pid) << "a session of its own";
    EXPECT_EQ(ReadLink(ProcFile(pid, "fd/0")), "/dev/null");
    EXPECT_EQ(ReadLink(ProcFile(pid, "fd/1")), Utf16ToUtf8(output));
    EXPECT_EQ(ReadLink(ProcFile(pid, "fd/2")), Utf16ToUtf8(output));
    for (const auto& entry : std::filesystem::directory_iterator(ProcFile(pid, "fd")))
      EXPECT_NE(ReadLink(entry.path().string()), leakyName) << "inherited " << entry.path();

    EXPECT_TRUE(WaitFor([&] {
      const std::string text = ReadText(output);
      return Count(text, "out:hello\n") == std::size_t(round) &&
             Count(text, "err:hello\n") == std::size_t(round);
    })) << "appended, round " << round << ": " << ReadText(output);

    control->TerminateServerProcess(server);
    EXPECT_TRUE(WaitFor([&] { return !control->IsServerRunning(server); }));
  }
}

// An output file past its limit moves to ".out.1" (one kept) and starts again empty: at a
// start, and soon after it grew past it while the server runs and holds it open (the cap's own
// thread looks every few milliseconds at the files of the servers started or seen running).
TEST_F(LinuxProcessControlTest, TheOutputFileIsCappedWithOneRotatedFileKept) {
  const Path folder = temp_.Dir() + u"logs/";
  ProcessControlOptions options{folder};
  options.outputLimit = 1000;
  auto control = CreateProcessControl(options);
  const Path server = PlaceCopy(u"srv");
  const Path output = ServerOutputFile(folder, server);
  const Path rotated = output + u".1";
  std::filesystem::create_directories(Fs(folder));
  const auto append = [](const Path& file, const std::string& text) {
    std::ofstream(Fs(file), std::ios::binary | std::ios::app) << text;
  };
  const auto size = [&] { return std::filesystem::file_size(Fs(output)); };
  append(output, std::string(1500, 'a'));  // an earlier run's

  ASSERT_EQ(control->StartServerProcess(server, u"--say hello --life 60", 0, false, 1).Error(), 0u);
  ASSERT_TRUE(WaitFor([&] { return Count(ReadText(output), "hello\n") == 2; })) << ReadText(output);
  EXPECT_EQ(ReadText(rotated), std::string(1500, 'a')) << "moved aside at the start";

  append(output, std::string(1200, 'b'));  // grown past the limit while it runs
  EXPECT_TRUE(WaitFor([&] { return size() == 0; }));
  EXPECT_EQ(Count(ReadText(rotated), "hello\n"), 2u);
  EXPECT_EQ(Count(ReadText(rotated), "b"), 1200u) << "the earlier rotated file is replaced";

  append(output, std::string(900, 'c'));  // within the limit: left alone
  const auto end = std::chrono::steady_clock::now() + 200ms;  // twenty looks of the cap's thread
  while (std::chrono::steady_clock::now() < end && size() == 900u) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(size(), 900u);
}

// A look the system refuses is "unknown" with its reason, never "not running": /proc that cannot
// be listed, a process's entries that cannot be read for want of descriptors or memory, an
// executable that cannot be looked at for another reason than its absence. Nothing is ended on
// such a look; a process held from an earlier look is still seen.
TEST_F(LinuxProcessControlTest, ARefusedLookIsUnknownWithTheSystemsReason) {
  const Path server = PlaceCopy(u"srv");
  const Path missing = PlaceCopy(u"other");
  ASSERT_GT(ByHand(server, {"--life", "60"}), 0);
  ASSERT_EQ(WaitForProcesses(server, 1).size(), 1u);
  struct Case {
    LookCall call;
    int error;
    Look seen;  // of the running server, looked at afresh
  };
  const Case cases[] = {
      {LookCall::ProcessList, EMFILE, Look::Unknown(EMFILE)},
      {LookCall::ProcessList, EACCES, Look::Unknown(EACCES)},
      {LookCall::ProcessDetail, ENOMEM, Look::Unknown(ENOMEM)},
      {LookCall::ExecutableFile, EACCES, Look::Unknown(EACCES)},
      {LookCall::ExecutableFile, ENOENT, Look::Absent()},  // that one is an answer: nothing runs it
  };
  for (const Case& c : cases) {
    ProcessControlOptions options;
    options.failLook = [&](LookCall call) { return call == c.call ? static_cast<std::uint32_t>(c.error) : 0u; };
    auto control = CreateProcessControl(options);
    EXPECT_EQ(control->LookForServer(server), c.seen) << static_cast<int>(c.call) << " " << c.error;
    EXPECT_FALSE(control->IsServerRunning(server));
    if (c.seen.Known()) continue;
    EXPECT_EQ(control->LookForServer(missing), c.seen) << "a server that does not run is no more known";
    EXPECT_EQ(control->TerminateServerProcess(server), c.seen);
    EXPECT_EQ(ProcessesOf(server).size(), 1u) << "nothing ended on a refused look";
  }

  // Found once and held, the process is seen without the list.
  bool refuse = false;
  ProcessControlOptions options;
  options.failLook = [&](LookCall call) { return refuse && call == LookCall::ProcessList ? EMFILE : 0u; };
  auto control = CreateProcessControl(options);
  EXPECT_EQ(control->LookForServer(server), Look::Running());
  refuse = true;
  EXPECT_EQ(control->LookForServer(server), Look::Running());
  EXPECT_EQ(control->LookForServer(missing), Look::Unknown(EMFILE));
}

// A server that writes 200 MB/s: its output file and the one kept beside it stay under twice
// the cap (10 MB) all along, with no supervision cycle needed for it.
TEST_F(LinuxProcessControlTest, TheOutputCapHoldsAtAHighWriteRate) {
  const Path folder = temp_.Dir() + u"logs/";
  auto control = CreateProcessControl({folder});
  const Path server = PlaceCopy(u"srv");
  const std::filesystem::path output = Fs(ServerOutputFile(folder, server));
  const std::filesystem::path rotated = output.string() + ".1";
  ASSERT_EQ(control->StartServerProcess(server, u"--spew 200 --life 3", 0, false, 1).Error(), 0u);
  std::uintmax_t most = 0, mostRotated = 0;
  int rotations = 0;
  const auto end = std::chrono::steady_clock::now() + 2s;
  for (std::uintmax_t last = 0; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(1ms)) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(output, ec);
    if (ec) continue;
    rotations += size < last;
    last = size;
    most = std::max(most, size);
    const std::uintmax_t kept = std::filesystem::file_size(rotated, ec);
    if (!ec) mostRotated = std::max(mostRotated, kept);
  }
  control->TerminateServerProcess(server);
  constexpr std::uintmax_t kTwiceTheCap = 20 * 1024 * 1024;
  EXPECT_LT(most, kTwiceTheCap);
  EXPECT_LT(mostRotated, kTwiceTheCap);
  EXPECT_GE(rotations, 10) << "about 400 MB were written: " << most << " " << mostRotated;
}

// Past its limit a file's newest part goes to ".out.1": all of it while under twice the limit,
// else its newest limit's worth. Its head is then taken off in place where the file system can
// (what is left is its last bytes, less than one block, so that the server's writes meanwhile
// stay); else, and for a limit below four blocks, the file is emptied.
TEST(OutputCap, TheNewestPartIsKeptAndTheHeadTakenOff) {
  TempDir temp;
  const std::string file = Utf16ToUtf8(temp.File(u"x.out"));
  std::string text;
  for (int i = 0; text.size() < 100000; ++i) text += std::to_string(i) + "\n";
  text.resize(100000);
  const struct {
    std::uint64_t limit;
    std::string kept;
    std::size_t mostLeft;
  } cases[] = {{64 * 1024, text, 4095}, {10000, text.substr(90000), 0}};
  for (const auto& c : cases) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    ASSERT_TRUE(CapOutputFile(file, c.limit));
    EXPECT_EQ(ReadText(Utf8ToUtf16(file) + u".1"), c.kept) << c.limit;
    const std::string left = ReadText(Utf8ToUtf16(file));
    EXPECT_LE(left.size(), c.mostLeft) << c.limit;
    EXPECT_EQ(text.substr(text.size() - left.size()), left);
    EXPECT_FALSE(CapOutputFile(file, c.limit)) << "within its limit now";
  }
}

// The cap's thread is woken once per sweep for the files kept since: one found past its cap is
// cut once swept; one that grows past it later is cut on its watch alone, with no sweep.
TEST(OutputCap, AFileIsCutAtTheSweepOrWhenItGrowsPastItsCap) {
  TempDir temp;
  const std::string big = Utf16ToUtf8(temp.File(u"big.out"));
  const std::string small = Utf16ToUtf8(temp.File(u"small.out"));
  const std::string block(64 * 1024, 'x');
  std::ofstream(big, std::ios::binary) << block << block;
  std::ofstream(small, std::ios::binary) << "a\n";
  auto size = [](const std::string& file) { return std::filesystem::file_size(file); };
  OutputCap cap(64 * 1024);
  cap.Keep(big);
  cap.Keep(small);
  cap.Sweep();
  EXPECT_TRUE(WaitFor([&] { return size(big) < 64 * 1024; }));
  std::ofstream(small, std::ios::binary | std::ios::app) << block << block;
  EXPECT_TRUE(WaitFor([&] { return size(small) < 64 * 1024; }));
}

TEST_F(LinuxProcessControlTest, WithoutAnOutputFolderTheOutputIsDiscarded) {
  auto control = CreateProcessControl({});
  const Path server = PlaceCopy(u"srv");
  ASSERT_EQ(control->StartServerProcess(server, u"--say hello --life 60", 0, false, 1).Error(), 0u);
  const auto pids = WaitForProcesses(server, 1);
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_EQ(ReadLink(ProcFile(pids[0], "fd/1")), "/dev/null");
  EXPECT_EQ(ReadLink(ProcFile(pids[0], "fd/2")), "/dev/null");
}

TEST_F(LinuxProcessControlTest, AnEndedServerIsCollectedNotLeftAsAZombie) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_EQ(control_->StartServerProcess(server, u"--life 60", 0, false, 1).Error(), 0u);
  const auto pids = WaitForProcesses(server, 1);
  ASSERT_EQ(pids.size(), 1u);
  control_->TerminateServerProcess(server);
  EXPECT_TRUE(WaitFor([&] {
    control_->IsServerRunning(server);  // each look at the list collects ended children
    return !std::filesystem::exists(ProcFile(pids[0], "stat"));
  }));
}

// The process confirmed last cycle is asked again in each: one that ended is not the server in
// the next; one that turned into another program is not the server from the server's turn on
// (its image is read again once every 16 cycles).
TEST_F(LinuxProcessControlTest, AConfirmedProcessIsLookedAtAgainEachCycle) {
  const Path server = PlaceCopy(u"a");
  const Path otherProgram = PlaceCopy(u"b", u"other");
  const Path ready = temp_.File(u"ready");
  const ProcessId pid = ByHand(server, {"--life", "60", "--report", Utf16ToUtf8(ready), "--exec-on-usr1",
                                        Utf16ToUtf8(otherProgram), "--life", "60"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor([&] { return FileExists(ready); }));
  auto runningInACycle = [&] {
    control_->BeginCycle();
    const bool running = control_->IsServerRunning(server);
    control_->EndCycle();
    return running;
  };
  EXPECT_TRUE(runningInACycle());
  EXPECT_TRUE(runningInACycle());
  ::kill(static_cast<pid_t>(pid), SIGUSR1);
  ASSERT_TRUE(WaitFor([&] {
    const auto now = ProcessesOf(otherProgram);
    return std::find(now.begin(), now.end(), pid) != now.end();
  }));
  int cycles = 1;
  while (runningInACycle() && cycles < 20) ++cycles;
  EXPECT_LE(cycles, 16) << "the same process, another program";

  const ProcessId second = ByHand(server, {"--life", "60"});
  ASSERT_EQ(WaitForProcesses(server, 1).size(), 1u);
  EXPECT_TRUE(runningInACycle());
  ::kill(static_cast<pid_t>(second), SIGKILL);
  ASSERT_TRUE(WaitFor([&] { return !IsProcessAlive(second); }));
  EXPECT_FALSE(runningInACycle()) << "ended";
}

// Servers that share a file name (copies in folders of their own) are found in one cycle with a
// number of looks at the processes linear in the servers: the identity of each image is read
// once for the cycle's list, not again for every server. Counted from the second search on,
// past the list itself. Once held, each server's process image is read once, and after that
// one question at the cycle's start answers for all of them until their turns come.
TEST_F(LinuxProcessControlTest, ACycleLooksAtEachProcessOnceHoweverManyServersShareAName) {
  constexpr int kServers = 20;
  std::vector<Path> servers;
  for (int i = 0; i < kServers; ++i) {
    servers.push_back(PlaceCopy(u"s" + ToU16(i)));
    ASSERT_GT(ByHand(servers.back(), {"--life", "60"}), 0);
  }
  for (const Path& server : servers) ASSERT_EQ(WaitForProcesses(server, 1).size(), 1u);
  int phase = 0;  // 1: the list and the first search; 2: the searches after
  int looks = 0;
  ProcessControlOptions options;
  options.failLook = [&](LookCall call) {
    if (call == LookCall::ProcessList) phase = 1;
    if (call == LookCall::ExecutableFile && phase == 1) phase = 2;
    if (call == LookCall::ProcessDetail && phase == 2) ++looks;
    return 0u;
  };
  auto control = CreateProcessControl(options);
  auto cycle = [&] {
    control->BeginCycle();
    for (const Path& server : servers) EXPECT_TRUE(control->IsServerRunning(server));
    control->EndCycle();
  };
  cycle();
  EXPECT_LE(looks, 4 * (kServers - 1)) << "looks at the processes for " << kServers - 1 << " searches";
  looks = 0;
  cycle();
  EXPECT_EQ(looks, kServers + 1) << "the held processes asked together, each image read once";
  looks = 0;
  cycle();
  EXPECT_LE(looks, 1 + 2 * kServers / 4) << "one question for all, and the few whose turn it is";
}

TEST_F(LinuxProcessControlTest, NamesAreComparedExactly) {
  const Path server = PlaceCopy(u"a");
  const Path upperLink = PlaceLink(server, u"b", u"SLEEPER");
  ASSERT_GT(ByHand(upperLink, {"--life", "60"}), 0);
  ASSERT_EQ(WaitForProcesses(server, 1).size(), 1u);
  EXPECT_FALSE(control_->IsServerRunning(server))
      << "on Linux a name in other letter case is another name";
}

TEST_F(LinuxProcessControlTest, ACycleTakesTheProcessListOnce) {
  const Path server = PlaceCopy(u"a");
  control_->BeginCycle();
  EXPECT_FALSE(control_->IsServerRunning(server));
  ASSERT_GT(ByHand(server, {"--life", "60"}), 0);
  ASSERT_EQ(WaitForProcesses(server, 1).size(), 1u);
  EXPECT_FALSE(control_->IsServerRunning(server)) << "the cycle's list is from its start";
  control_->EndCycle();
  EXPECT_TRUE(control_->IsServerRunning(server)) << "outside a cycle every call looks anew";

  // A start inside the cycle renews the list.
  const Path other = PlaceCopy(u"b");
  control_->BeginCycle();
  EXPECT_FALSE(control_->IsServerRunning(other));
  ASSERT_EQ(control_->StartServerProcess(other, u"--life 60", 0, false, 1).Error(), 0u);
  EXPECT_TRUE(control_->IsServerRunning(other));
  control_->EndCycle();
}

TEST_F(LinuxProcessControlTest, InACycleOnlyTheServersProcessIsActedOn) {
  const Path server = PlaceCopy(u"a");
  const Path otherProgram = PlaceCopy(u"b", u"other");
  // A process of the server's file that turns into another program under the same id once the
  // cycle has taken its list; then a new process of the server's file starts.
  int turned = 0;
  auto turnDuringCycle = [&]() -> std::pair<ProcessId, ProcessId> {
    const Path ready = temp_.File(u"ready" + ToU16(++turned));
    const ProcessId pid = ByHand(server, {"--life", "60", "--report", Utf16ToUtf8(ready),
                                          "--exec-on-usr1", Utf16ToUtf8(otherProgram), "--life",
                                          "60"});
    if (pid <= 0 || !WaitFor([&] { return FileExists(ready); })) return {-1, -1};
    control_->BeginCycle();
    if (!control_->IsServerRunning(server)) return {-1, -1};
    ::kill(static_cast<pid_t>(pid), SIGUSR1);
    if (!WaitFor([&] {
          const auto now = ProcessesOf(otherProgram);
          return std::find(now.begin(), now.end(), pid) != now.end();
        })) {
      return {-1, -1};
    }
    const ProcessId second = ByHand(server, {"--life", "60"});
    if (WaitForProcesses(server, 1).size() != 1) return {-1, -1};
    return {pid, second};
  };

  {
    const auto [turnedOne, second] = turnDuringCycle();
    ASSERT_GT(turnedOne, 0);
    control_->TerminateServerProcess(server);
    EXPECT_TRUE(WaitFor([&] { return !IsProcessAlive(second); }));
    EXPECT_TRUE(IsProcessAlive(turnedOne)) << "the id now belongs to another program";
    control_->EndCycle();
  }
  {
    const auto [turnedOne, second] = turnDuringCycle();
    ASSERT_GT(turnedOne, 0);
    const unsigned long cpusBefore = CpusAllowed(ProcFile(turnedOne, "status"));
    control_->SetServerAffinity(server, 1);
    EXPECT_EQ(CpusAllowed(ProcFile(turnedOne, "status")), cpusBefore);
    EXPECT_EQ(CpusAllowed(ProcFile(second, "status")), 1ul);
    if (::geteuid() == 0) {
      control_->SetServerPriority(server, 2);
      EXPECT_TRUE(AllEqual(NiceOfEveryThread(turnedOne), 0));
      EXPECT_TRUE(AllEqual(NiceOfEveryThread(second), -20));
    }
    control_->EndCycle();
  }
}

// Launcher scripts as operators use them (srcds_run, hlds_run, run.sh): one replaces itself with
// the server (exec), the other runs it as a child and starts it again when it ends (a bounded
// number of times here).
TEST_F(LinuxProcessControlTest, ALauncherScriptAndWhatItStartsAreTheServersProcesses) {
  const struct {
    const char* folder;
    const char* body;
  } launchers[] = {
      {"exec", "exec \"$(dirname \"$0\")/sleeper\" \"$@\"\n"},
      {"child", "for round in 1 2 3 4 5; do \"$(dirname \"$0\")/sleeper\" \"$@\"; sleep 0.2; done\n"},
  };
  for (const auto& launcher : launchers) {
    const Path server = PlaceCopy(Utf8ToUtf16(launcher.folder), u"sleeper");
    const Path script = Folder(Utf8ToUtf16(launcher.folder)) + u"run.sh";
    std::ofstream(Fs(script)) << "#!/bin/sh\n" << launcher.body;
    std::filesystem::permissions(Fs(script), std::filesystem::perms::owner_all);
    ASSERT_EQ(control_->StartServerProcess(script, u"--life 60", 0, false, 3).Error(), 0u) << launcher.folder;
    ASSERT_EQ(WaitForProcesses(server, 1).size(), 1u) << launcher.folder;
    EXPECT_TRUE(control_->IsServerRunning(script)) << launcher.folder;
    const ProcessId game = ProcessesOf(server)[0];
    control_->SetServerAffinity(script, 1);
    EXPECT_TRUE(AllEqual(CpusOfEveryThread(game), 1ul)) << launcher.folder << ": the game itself too";
    control_->TerminateServerProcess(script);
    EXPECT_TRUE(WaitFor([&] { return !control_->IsServerRunning(script) && ProcessesOf(server).empty(); }))
        << launcher.folder << ": the script and the game end together";
    // A launcher that could start the game again would have done so by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(ProcessesOf(server).empty()) << launcher.folder;
  }
}

TEST_F(LinuxProcessControlTest, ALinkUnderAnotherNameAndAnImageReplacedByAnUpdateAreTheServer) {
  const Path real = PlaceCopy(u"bin", u"srcds_linux");
  const Path link = Folder(u"game") + u"srcds";
  std::filesystem::create_symlink(Fs(real), Fs(link));
  ASSERT_EQ(control_->StartServerProcess(link, u"--life 60", 0, false, 1).Error(), 0u);
  ASSERT_EQ(WaitForProcesses(real, 1).size(), 1u);
  EXPECT_TRUE(control_->IsServerRunning(link)) << "runs as srcds_linux, registered as srcds";

  const Path server = PlaceCopy(u"upd", u"hlds");
  ASSERT_GT(ByHand(server, {"--life", "60"}), 0);
  const auto before = WaitForProcesses(server, 1);
  ASSERT_EQ(before.size(), 1u);
  // The update writes the new file beside the old one and renames it over it.
  std::filesystem::copy_file(Fs(SleeperBuildPath()), Fs(server + u".new"));
  std::filesystem::rename(Fs(server + u".new"), Fs(server));
  EXPECT_TRUE(control_->IsServerRunning(server)) << "the running image is the deleted former file";
  control_->TerminateServerProcess(server);
  EXPECT_TRUE(WaitFor([&] { return !IsProcessAlive(before[0]); }));
  control_->TerminateServerProcess(link);
}

}  // namespace
}  // namespace tervane::testing
