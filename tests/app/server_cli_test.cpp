// The command line's commands in-process, on a monitor over a fake process control: what they
// refuse and how they say it, the one-line hints for words they do not know, the confirmations
// asked at their own door, what an edit of a running server says, and kesp log.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sstream>

#include "app/command_line_linux.h"
#include "app/log_command.h"
#include "app/server_cli.h"
#include "fake_process_control.h"
#include "test_support.h"
#include "testbed.h"

namespace tervane {
namespace {

namespace fs = std::filesystem;

struct Result {
  int code;
  std::string out, err;
};

// Three executables a, b and c (each its own folder's "hlds"), none registered yet.
class CommandLine : public ::testing::Test {
 protected:
  CommandLine() {
    for (const char* name : {"a", "b", "c"}) {
      fs::create_directories(dir.path() / name);
      testing::WriteBytes(dir.File(Utf8ToUtf16(name)) + u"/hlds", {'#', '!'});
      fs::permissions(Exe(name), fs::perms::owner_all);
    }
  }
  static MonitorOptions Options() {
    MonitorOptions o;
    o.localAddress = [] { return std::string("127.0.0.1"); };
    return o;
  }
  std::string Exe(const char* name) const { return (dir.path() / name / "hlds").string(); }
  Result Run(const std::vector<std::string>& args, std::function<bool(const std::string&)> confirm = nullptr) {
    std::ostringstream out, err;
    CommandIo io{out, err, std::move(confirm)};
    const int code = RunServerCommand(rig.monitor, args, 4, io);
    return {code, out.str(), err.str()};
  }
  void Register(const char* name, int port) {
    ASSERT_EQ(Run({"add", "--exe", Exe(name), "--name", name, "--params", "+ip 127.0.0.1 -port " + std::to_string(port)})
                  .code,
              0);
  }

  testing::TempDir dir;
  EventLoop loop;
  testing::FakeProcessControl process;
  testbed::MonitorRig rig{loop, process, dir.Dir(), Options()};
};

TEST_F(CommandLine, AddRefusesWhatTheRecordCannotHoldOrTheServerCannotRun) {
  fs::permissions(Exe("b"), fs::perms::owner_read | fs::perms::owner_write);
  const std::string exe = Exe("a");
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--exe", exe, "--params", "+ip 127.0.0.1 -port 70000"}, "not a number from 1 to 65535"},
      {{"--exe", exe, "--params", "+ip 127.0.0.1 -port 0"}, "not a number from 1 to 65535"},
      {{"--exe", exe, "--params", "+ip 127.1 -port 27015"}, "not a dotted IPv4 address"},
      {{"--exe", exe, "--name", std::string(32, 'n')}, "longer than 31"},
      {{"--exe", exe, "--name", "bad\xff"}, "not UTF-8"},
      {{"--exe", exe, "--name", "esc\x1b[31m"}, "control characters"},
      {{"--exe", Exe("b")}, "not executable"},
      {{"--exe", std::string(270, 'x')}, "longer than 260"},
      {{"--exe", (dir.path() / "none").string()}, "there is no executable file at "},
      {{"--exe", exe, "--affinity", "0x10"}, "the affinity 0x10 names none of this machine's 4 processors"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    EXPECT_EQ(r.code, 1) << c.says;
    EXPECT_EQ(r.err.rfind("kesp: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "no raw escape reaches the terminal";
  }
  EXPECT_FALSE(fs::exists(dir.path() / "serverlist.dat")) << "nothing was registered";
  const Result noPort = Run({"add", "--exe", exe, "--params", "+ip 127.0.0.1"});
  EXPECT_EQ(noPort.code, 0);
  EXPECT_EQ(noPort.out.rfind("no -port given: 27015 assumed\n", 0), 0u) << "a note, not an error: " << noPort.out;
  EXPECT_NE(Run({"list"}).out.find("Normal"), std::string::npos) << "priority normal by default";
}

// The editor's duplicate checks, in the command line's words: the server it clashes with.
TEST_F(CommandLine, ARefusalNamesTheServerItClashesWith) {
  Register("a", 27015);
  Register("b", 27016);
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"add", "--exe", Exe("c"), "--params", "+ip 127.0.0.1 -port 27016"}, "kesp: the address 127.0.0.1:27016 is used by b\n"},
      {{"add", "--exe", Exe("a"), "--params", "+ip 127.0.0.1 -port 27017"}, "kesp: the executable " + Exe("a") + " is used by a\n"},
      {{"edit", "1", "--params", "+ip 127.0.0.1 -port 27016"}, "kesp: the address 127.0.0.1:27016 is used by b\n"},
  };
  for (const auto& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, 1) << c.says;
    EXPECT_EQ(r.err, c.says);
  }
  EXPECT_EQ(rig.List().size(), 2u);
}

// A line the parser reads may still ask for what only the list can tell; such a refusal is one
// line too, exit code 2 for a line that cannot work and 1 for a server that is not there.
TEST_F(CommandLine, WhatOnlyTheListCanRefuseIsOneLine) {
  Register("a", 27015);
  const struct {
    std::vector<std::string> args;
    int code;
    const char* says;
  } cases[] = {
      {{"pause"}, kExitUsage, "kesp: pause needs the numbers of servers; see kesp pause --help\n"},
      {{"edit", "1"}, kExitUsage, "kesp: edit needs an option: what to change (--name, --exe, --params, ...); see kesp edit --help\n"},
      {{"move", "1"}, kExitUsage, "kesp: move needs two numbers: the server's and its new place; see kesp move --help\n"},
      {{"restart", "1", "--yes", "--ids=x"}, kExitUsage, "kesp: malformed --ids=; see kesp restart --help\n"},
      {{"pause", "2"}, 1, "kesp: no server number 2 (see kesp list)\n"},
      {{"edit", "9", "--hide"}, 1, "kesp: no server number 9 (see kesp list)\n"},
  };
  for (const auto& c : cases) {
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << c.says;
    EXPECT_EQ(r.err, c.says);
  }
  EXPECT_EQ(rig.List()[0]->Paused, 0) << "nothing done";
}

// Without --name a server is named after its executable's folder, numbered when that is taken
// and cut to the record's 31 characters; with a kesp running it is said who starts it.
TEST_F(CommandLine, AServerAddedWithoutANameIsNamedAfterItsFolder) {
  const Result first = Run({"add", "--exe", Exe("a")});
  EXPECT_EQ(first.out, "registered 1. a at 127.0.0.1:27015\n") << first.err;
  rig.monitor.BeginSupervision();
  fs::create_directories(dir.path() / "x" / "a");
  testing::WriteBytes(dir.File(u"x/a/hlds"), {'#', '!'});
  fs::permissions(dir.path() / "x" / "a" / "hlds", fs::perms::owner_all);
  const Result second = Run({"add", "--exe", (dir.path() / "x" / "a" / "hlds").string(), "--params", "-port 27016", "--paused"});
  EXPECT_EQ(second.out, "registered 2. a (2) at 127.0.0.1:27016\nit is registered paused: kesp unpause 2 starts its supervision\n")
      << second.err;
  const Result third = Run({"add", "--exe", Exe("b"), "--params", "-port 27017"});
  EXPECT_NE(third.out.find("\nthe running kesp starts it within about 16 seconds"), std::string::npos) << third.out;
  const std::pair<std::vector<std::u16string>, std::string> names[] = {
      {{}, std::string(31, 'x')}, {{std::u16string(31, u'x')}, std::string(27, 'x') + " (2)"}};
  for (const auto& [taken, name] : names) EXPECT_EQ(DefaultServerName("/srv/" + std::string(40, 'x') + "/hlds", taken), name);
  EXPECT_EQ(DefaultServerName("hlds", {}), "") << "no folder: the default name stays";
}

// The command line asks at its own door: --yes, the operator's answer, or the question with
// exit code 3 when nobody can be asked. No answer changes nothing.
TEST_F(CommandLine, RestartRemoveAndCloseAskFirst) {
  Register("a", 27015);
  const struct {
    std::vector<std::string> args;
    std::function<bool(const std::string&)> confirm;
    int code;
    const char* says;
  } cases[] = {
      {{"restart", "1"}, nullptr, kExitNeedsConfirmation, "Are you sure to Restart \"a\"?\n"},
      {{"remove", "1"}, [](const std::string&) { return false; }, kExitDeclined, "kesp: not confirmed; nothing changed\n"},
      {{"close", "1", "--yes"}, nullptr, 0, ""},
  };
  for (const auto& c : cases) {
    const Result r = Run(c.args, c.confirm);
    EXPECT_EQ(r.code, c.code) << c.says;
    EXPECT_EQ(r.err, c.says);
  }
  ASSERT_EQ(rig.List().size(), 1u);
  EXPECT_EQ(process.Count("start"), 0) << "not restarted";
  EXPECT_EQ(rig.List()[0]->Paused, 1) << "closed";
}

// Asked for a client of the running kesp, the question ends with the identities of the servers
// it names; the answer that brings them back is refused when the numbers name others by then.
TEST_F(CommandLine, AConfirmationIsBoundToTheServersItAskedAbout) {
  Register("a", 27015);
  Register("b", 27016);
  rig.monitor.BeginSupervision();
  std::string question = Run({"remove", "1"}).err;
  const std::string ids = TakeIdsLine(question);
  EXPECT_EQ(question, "Are you sure to Delete \"a\"?\n");
  ASSERT_EQ(Run({"move", "1", "2"}).code, 0);
  const std::pair<std::string, std::string> cases[] = {
      {"1", "kesp: server 1 is now number 2; nothing done\n"}, {"2", ""}, {"2", "kesp: server 2 was deleted; nothing done\n"}};
  for (const auto& [number, says] : cases) EXPECT_EQ(Run({"remove", number, "--yes", ids}).err, says);
  ASSERT_EQ(rig.List().size(), 1u);
  EXPECT_EQ(rig.List()[0]->Name.str(), u"b") << "only a was removed";
}

// An update asks first as restart does, names the servers (all of them for "all"), and needs
// the running kesp, which alone runs update commands.
TEST_F(CommandLine, AnUpdateAsksFirstAndNeedsTheRunningKesp) {
  Register("a", 27015);
  Register("b", 27016);
  const std::string notRunning = Run({"update", "1", "--yes"}).err;
  EXPECT_NE(notRunning.find(": a game update needs the running kesp\n"), std::string::npos) << notRunning;
  rig.monitor.BeginSupervision();
  const struct {
    std::vector<std::string> args;
    std::function<bool(const std::string&)> confirm;
    int code;
    std::string says;
  } cases[] = {
      {{"update", "2"}, nullptr, kExitNeedsConfirmation,
       "Update the game of server b now (stopped, updated by kesp.ini's UpdateCommand and started again)?\n"},
      {{"update", "all", "--in", "5"}, nullptr, kExitNeedsConfirmation,
       "Update the game of the 2 servers in 5 minute(s) (stopped, updated by kesp.ini's UpdateCommand and started "
       "again)?\n"},
      {{"update", "all"}, [](const std::string&) { return false; }, kExitDeclined, "kesp: not confirmed; nothing changed\n"},
      {{"update", "3", "--yes"}, nullptr, 1, "kesp: no server number 3 (see kesp list)\n"},
  };
  for (const auto& c : cases) {
    Result r = Run(c.args, c.confirm);
    const std::string ids = TakeIdsLine(r.err);
    EXPECT_EQ(r.code, c.code) << c.says;
    EXPECT_EQ(r.err, c.says);
    if (!c.confirm && c.code == kExitNeedsConfirmation) {  // asked, not declined (both exit 3)
      EXPECT_EQ(ids, c.args[1] == "all" ? "--ids=" + std::to_string(rig.monitor.IdOf(0)) + "," +
                                              std::to_string(rig.monitor.IdOf(1))
                                        : "--ids=" + std::to_string(rig.monitor.IdOf(1)));
    }
  }
  // An answer for every server is refused once the list holds another number of them.
  std::string question = Run({"update", "all"}).err;
  const std::string ids = TakeIdsLine(question);
  Register("c", 27017);
  EXPECT_EQ(Run({"update", "all", "--yes", ids}).err, "kesp: the confirmation was for other servers; nothing done\n");
  EXPECT_EQ(process.Count("start"), 0);
  // A restart leaves a server whose update runs to the update, and does not say it restarted it.
  rig.List()[0]->Status.phase = Phase::Updating;
  const Result restart = Run({"restart", "1", "2", "--yes"});
  EXPECT_EQ(restart.code, 1);
  EXPECT_EQ(restart.out, "1. a: not restarted: updating; it starts when its update ended\nrestarted 1 server(s)\n");
}

// kesp status's update lines: each only when it has something to say, the server's and the
// command's words made safe for a terminal.
TEST(UpdateStatusLines, SayWhatIsKnownOfAServersUpdates) {
  // The times in UTC, whatever the machine's zone; the zone put back after.
  const char* zone = std::getenv("TZ");
  const std::optional<std::string> before = zone ? std::optional<std::string>(zone) : std::nullopt;
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  struct Restore {
    const std::optional<std::string>& before;
    ~Restore() {
      before ? ::setenv("TZ", before->c_str(), 1) : ::unsetenv("TZ");
      ::tzset();
    }
  } restore{before};
  constexpr WallTime t = 1'800'000'000;  // 2027-01-15 08:00:00 UTC
  const auto status = [](auto fill) {
    UpdateStatus u;
    fill(u);
    return u;
  };
  const std::pair<UpdateStatus, std::vector<std::string>> cases[] = {
      {UpdateStatus{}, {}},
      {status([](UpdateStatus& u) {
         u.availableSince = t;
         u.source = UpdateSource::Notice;
         u.detail = "Your server is out of date\x1b[2J";
         u.dueBy = t + 1800;
       }),
       {"Update available since: 2027-01-15 08:00:00 (notice: Your server is out of date\\x1B[2J); updated by "
        "2027-01-15 08:30:00 at the latest"}},
      {status([](UpdateStatus& u) {
         u.availableSince = t;
         u.source = UpdateSource::Operator;
         u.updatingSince = t + 60;
         u.lastResult = UpdateStatus::Result::Made;
         u.lastAt = t - 86400;
         u.lastDetail = "exit code 0";
         u.holdUntil = t + 3600;
       }),
       {"Update available since: 2027-01-15 08:00:00 (operator)", "Updating since: 2027-01-15 08:01:00",
        "Last update: made at 2027-01-14 08:00:00 (exit code 0)"}},
      {status([](UpdateStatus& u) {
         u.lastResult = UpdateStatus::Result::TimedOut;
         u.lastAt = t;
         u.holdUntil = t + 3600;
       }),
       {"Last update: timed out at 2027-01-15 08:00:00; not tried again before 2027-01-15 09:00:00"}},
      {status([](UpdateStatus& u) {
         u.lastResult = UpdateStatus::Result::NotStarted;
         u.lastAt = t;
         u.lastDetail = "cannot run the shell";
         u.holdUntil = t - 1;  // the hold is over
       }),
       {"Last update: not started at 2027-01-15 08:00:00 (cannot run the shell)"}},
  };
  for (const auto& [u, lines] : cases) EXPECT_EQ(UpdateStatusLines(u, t + 120), lines);
}

// A new executable or new run parameters wait for the server's next start; priority and
// affinity apply at once, so an edit of those alone says nothing more.
TEST_F(CommandLine, AnEditOfARunningServerSaysWhatWaitsForItsNextStart) {
  Register("a", 27015);
  const std::string waits = "1. a is running: its new run parameters take effect at its next start (kesp restart 1); "
                            "priority and affinity apply at once\n";
  EXPECT_EQ(Run({"edit", "1", "--params", "+ip 127.0.0.1 -port 27020"}).out, "edited 1. a\n") << "not running";
  process.running[testing::FakeProcessControl::Key(Utf8ToUtf16(Exe("a")))] = true;
  EXPECT_EQ(Run({"edit", "1", "--priority", "high"}).out, "edited 1. a\n");
  EXPECT_EQ(Run({"edit", "1", "--params", "+ip 127.0.0.1 -port 27021"}).out, "edited 1. a\n" + waits);
  process.running.clear();
  process.lookErrors[testing::FakeProcessControl::Key(Utf8ToUtf16(Exe("a")))] = 24;
  const std::string out = Run({"edit", "1", "--params", "+ip 127.0.0.1 -port 27022"}).out;
  EXPECT_EQ(out.substr(0, out.find('(')), "edited 1. a\n1. a may be running ") << "a refused look is no answer";
  EXPECT_NE(out.find("): its new run parameters take effect at its next start"), std::string::npos) << out;
}

// kesp log: the month's UTF-16LE file as UTF-8 lines, the last N of them, and followed into the
// next month's file as lines are added.
TEST(LogCommand, PrintsTheMonthsLogAsUtf8AndFollowsIt) {
  testing::TempDir dir;
  const Path logs = dir.Dir() + u"logs";
  const LocalTime december{2026, 12, 7, 8, 0, 0}, january{2027, 1, 1, 0, 0, 1};
  testbed::FixedClock writer({december});
  for (const char16_t* line : {u"[2026-12-07 08:00:00] 一号: Starting server.", u"b\x1b[31m", u"c"})
    ASSERT_TRUE(WriteLogFile(logs, line, writer));
  const auto run = [&](const std::vector<std::string>& args, IClock& clock, const LogFollowing& following = {}) {
    std::ostringstream out, err;
    ParsedCommand parsed;
    EXPECT_EQ(ParseCommandLine(args, parsed, out, err), kRunCommand);
    const int code = RunLogCommand(parsed.follow, parsed.lines, logs, clock, out, err, following);
    return Result{code, out.str(), err.str()};
  };
  testbed::FixedClock reader({december});
  EXPECT_EQ(run({"log"}, reader).out, "[2026-12-07 08:00:00] 一号: Starting server.\nb\\x1B[31m\nc\n");
  EXPECT_EQ(run({"log", "-n", "2"}, reader).out, "b\\x1B[31m\nc\n");

  // Following: a line added in December, then January's first line in a file of its own.
  testbed::FixedClock turning({december, december, january});
  int polls = 0;
  const LogFollowing following{[&] {
                                 ++polls;
                                 if (polls == 1) WriteLogFile(logs, u"d", writer);
                                 if (polls == 2) {
                                   testbed::FixedClock next({january});
                                   WriteLogFile(logs, u"e", next);
                                 }
                                 return polls < 4;
                               },
                               1};
  EXPECT_EQ(run({"log", "-f", "-n", "0"}, turning, following).out, "d\ne\n");
  testbed::FixedClock later({january});
  EXPECT_EQ(run({"log", "-n", "9"}, later).out, "e\n");
}

}  // namespace
}  // namespace tervane
