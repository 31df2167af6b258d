#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <atomic>
#include <stop_token>
#include <thread>

#include "app/command_line_linux.h"
#include "app/control_socket_linux.h"
#include "app/systemd_linux.h"
#include "core/server_entry.h"
#include "support/unique_handle_posix.h"
#include "support/version.h"
#include "test_support.h"

extern char** environ;

namespace tervane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Result {
  int code;
  std::string out, err;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A program folder of its own with kesp and two stand-in servers, each in a folder of its own.
class Kesp : public ::testing::Test {
 protected:
  Kesp() {
    // A root kesp refuses a folder that others may write: this one is 0755 whatever the umask.
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(TERVANE_KESP, root / "kesp");
    for (const char* name : {"a", "b"}) {
      fs::create_directories(root / name);
      fs::copy_file(TERVANE_FAKESRV, root / name / "hlds");
    }
  }
  ~Kesp() override {
    if (supervisor > 0) {
      ::kill(supervisor, SIGKILL);
      ::waitpid(supervisor, nullptr, 0);
    }
    // The servers it started run in sessions of their own: end them by their executables.
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::error_code ec;
      const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
      if (!ec && exe.string().rfind(root.string() + "/", 0) == 0)
        ::kill(std::atoi(entry.path().filename().c_str()), SIGKILL);
    }
  }

  // kesp with dirArgs and args, from the program folder; environment: "NAME=value ..." or "".
  Result Run(const std::vector<std::string>& args, const std::string& environment = "") {
    std::string command = "cd " + Quote(root.string()) + " && " + environment + " " + runAs + " ./kesp";
    for (const auto& a : dirArgs) command += " " + Quote(a);
    for (const auto& a : args) command += " " + Quote(a);
    command += " </dev/null >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(root / "out.txt"), Slurp(root / "err.txt")};
  }
  void Register(const char* folder, int port) {
    ASSERT_EQ(Run({"add", "--exe", std::string(folder) + "/hlds", "--name", folder, "--params",
                   "+ip 127.0.0.1 -port " + std::to_string(port)})
                  .code,
              0);
  }
  // kesp supervising in the background, with the tests' short cycle; a shell line may stand
  // before it ("ulimit -n 40; exec setpriv ... "), which ends by running the program named $0.
  void Supervise(const std::string& extraEnvironment = "PATH=/usr/bin:/bin", const std::string& shellBefore = "") {
    const std::string exe = (root / "kesp").string();
    const std::string line = shellBefore + " \"$0\" \"$@\"";
    std::vector<std::string> args{"/bin/sh", "-c", line, exe};
    if (shellBefore.empty()) args = {exe};
    args.insert(args.end(), dirArgs.begin(), dirArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"TERVANE_TEST_CYCLE_MS=200", "PATH=/usr/bin:/bin", extraEnvironment};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (root / "kesp.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    ASSERT_EQ(posix_spawn(&supervisor, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_TRUE(WaitFor([&] {
      const std::string out = Run({"status"}).out;
      std::size_t answering = 0;
      for (std::size_t at = out.find("Players: 0/32"); at != std::string::npos; at = out.find("Players: 0/32", at + 1))
        ++answering;
      return answering == Servers();
    }));
  }
  // The servers registered in the list file.
  std::size_t Servers() {
    const fs::path folder = dirArgs.empty() ? root : fs::path(dirArgs.back());
    return Slurp(folder / "serverlist.dat").size() / kServerEntrySize;
  }
  // The ids of the processes whose executable lies in the program folder, in /proc's order.
  std::vector<int> ServerPids() {
    std::vector<int> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::error_code ec;
      const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
      if (!ec && exe.string().rfind(root.string() + "/", 0) == 0 && exe.filename() == "hlds")
        pids.push_back(std::atoi(entry.path().filename().c_str()));
    }
    return pids;
  }
  // A datagram socket that hears what kesp tells its service manager.
  int Listen(const fs::path& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }
  template <typename F>
  bool WaitFor(F done, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (done()) return true;
      std::this_thread::sleep_for(50ms);
    }
    return done();
  }
  // A raw client on the control socket: sends bytes, then reads until the kesp closes.
  std::string Raw(const std::string& bytes, bool hangUp) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (root / "kesp.sock").c_str(), sizeof address.sun_path - 1);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      char buffer[1024];
      for (ssize_t n; !hangUp && (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
  }
  std::uint8_t PausedOnDisk(int record) {
    const std::string bytes = Slurp(root / "serverlist.dat");
    return static_cast<std::uint8_t>(bytes.at(static_cast<std::size_t>(record) * kServerEntrySize + 1705));
  }

  testing::TempDir dir;
  fs::path root = dir.path();
  std::vector<std::string> dirArgs;  // "--dir", DIR before every command, and for the supervision
  std::string runAs;                 // what runs the commands ("setpriv ..."); empty: this process's user
  pid_t supervisor = -1;
};

TEST_F(Kesp, TheRunningKespTakesTheCommandsAndSurvivesBadClients) {
  Register("a", 27411);
  Register("b", 27412);
  Supervise();
  EXPECT_EQ(fs::status(root / "kesp.sock").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  const Result json = Run({"status", "--json"});
  EXPECT_NE(json.out.find("\"name\":\"b\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"last_restart_reason\":\"first_start\""), std::string::npos);
  EXPECT_NE(json.out.find("\"supervising\":true"), std::string::npos);
  // The month's log, as UTF-8 lines.
  const Result log = Run({"log", "-n", "2"});
  EXPECT_EQ(log.code, 0);
  EXPECT_NE(log.out.find("] a: Starting server.\n"), std::string::npos) << log.out;

  // A client that hangs up halfway through its request, and one that sends garbage.
  Raw("2\npause\0", true);
  const std::string refused = Raw("garbage that is no request\n", false);
  EXPECT_EQ(refused.rfind("2\n", 0), 0u) << refused;
  EXPECT_EQ(PausedOnDisk(0), 0) << "half a request does nothing";

  ASSERT_EQ(Run({"pause", "2"}).code, 0);
  EXPECT_EQ(PausedOnDisk(1), 1) << "saved by the running kesp";
  EXPECT_NE(Slurp(root / "kesp.out").find("control socket: uid " + std::to_string(::getuid()) +
                                          " ran \"pause 2\": exit code 0 (paused 1 server(s))"),
            std::string::npos)
      << "who did what";
  EXPECT_NE(Run({"status"}).out.find("Process Status: Paused Monitor"), std::string::npos);

  const Result unconfirmed = Run({"restart", "1"});
  EXPECT_EQ(unconfirmed.code, 3);
  EXPECT_NE(unconfirmed.err.find("Are you sure to Restart \"a\"?"), std::string::npos);
  EXPECT_EQ(unconfirmed.err.find("--ids="), std::string::npos) << "the identities go back, not to the operator";
  EXPECT_EQ(Run({"restart", "1", "--yes"}).code, 0);

  // Two clients at once.
  const int both = std::system(("cd " + Quote(root.string()) +
                                " && (./kesp status >s1 & ./kesp status >s2 & wait) && grep -q '2\\. b' s1 &&"
                                " grep -q '2\\. b' s2")
                                   .c_str());
  EXPECT_EQ(both, 0);

  ASSERT_EQ(Run({"close", "1", "2", "--yes"}).code, 0);
  ::kill(supervisor, SIGHUP);
  int status = 0;
  ASSERT_EQ(::waitpid(supervisor, &status, 0), supervisor);
  supervisor = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(fs::exists(root / "kesp.sock"));
  EXPECT_EQ(Run({"pause", "1"}).code, 0) << "with no kesp running, the file itself";
}

// With kesp.ini's StopCommand: a restart planned and cancelled, shown in the status and its JSON,
// an RCON command answered, and a restart made by the server's own quit.
TEST_F(Kesp, TheRunningKespPlansRestartsAndTalksToItsServersThroughRcon) {
  std::ofstream(root / "kesp.ini") << "[Restarts]\nStopCommand=quit\nStopSeconds=30\n";
  ASSERT_EQ(Run({"add", "--exe", "a/hlds", "--name", "a", "--params",
                 "+ip 127.0.0.1 -port 27431 +rcon_password secret"})
                .code,
            0);
  const Result offline = Run({"restart", "1", "--in", "5", "--yes"});
  EXPECT_EQ(offline.code, 1);
  EXPECT_NE(offline.err.find("a planned restart needs the running kesp"), std::string::npos) << offline.err;
  Supervise();

  const Result planned = Run({"restart", "1", "--in", "5", "--yes"});
  EXPECT_EQ(planned.code, 0) << planned.err;
  EXPECT_EQ(planned.out.rfind("planned a restart of 1. a at ", 0), 0u) << planned.out;
  EXPECT_NE(Run({"status"}).out.find("   Next planned restart: "), std::string::npos);
  EXPECT_EQ(Run({"status", "--json"}).out.find("\"next_planned_restart\":null"), std::string::npos);
  EXPECT_EQ(Run({"restart", "1", "--in", "1441"}).code, 2);
  EXPECT_EQ(Run({"cancel", "1"}).out, "cancelled the planned restart of 1. a\n");
  EXPECT_EQ(Run({"cancel", "1"}).code, 1) << "nothing left to cancel";
  EXPECT_NE(Run({"status", "--json"}).out.find("\"next_planned_restart\":null"), std::string::npos);

  const Result answer = Run({"rcon", "1", "status"});
  EXPECT_EQ(answer.code, 0) << answer.err;
  EXPECT_NE(answer.out.find("players : 0 humans, 0 bots (32 max)\n"), std::string::npos) << answer.out;

  const std::vector<int> before = ServerPids();
  const Result restarted = Run({"restart", "1", "--yes"});
  EXPECT_EQ(restarted.code, 0);
  EXPECT_NE(restarted.out.find("1. a: its stop command was sent"), std::string::npos) << restarted.out;
  const std::string log = Run({"log", "-n", "20"}).out;  // the operator's lines: the file door's, the socket's
  for (const char* line : {"a: Add by the operator (command line, uid ", "a: Restart by the operator (control socket, uid "})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  ASSERT_TRUE(WaitFor([&] { return !ServerPids().empty() && ServerPids() != before; }));
  EXPECT_EQ(Slurp(root / "kesp.out").find("cannot send the stop command"), std::string::npos);
}

// No door shows an RCON password of the run parameters or kesp.ini (list, status, JSON, log,
// the journal line of a command that carried one); the list keeps it byte for byte, owner-only,
// and a list or kesp.ini that others may read is said at the start.
TEST_F(Kesp, NoDoorShowsAnRconPassword) {
  std::ofstream(root / "kesp.ini") << "[Restarts]\nRconPassword=IniSecret7\n";
  fs::permissions(root / "kesp.ini", fs::perms::others_read, fs::perm_options::add);
  ASSERT_EQ(
      Run({"add", "--exe", "a/hlds", "--params", "+ip 127.0.0.1 -port 27432 +rcon_password \"Top Secret42\""}).code, 0);
  const auto mode = [&] { return fs::status(root / "serverlist.dat").permissions() & fs::perms::all; };
  EXPECT_EQ(mode(), fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(root / "serverlist.dat", fs::perms::group_read, fs::perm_options::add);
  Supervise();
  const Result edited = Run({"edit", "1", "--params", "+ip 127.0.0.1 -port 27432 +rcon_password NewSecret9 +map x"});
  EXPECT_EQ(mode(), fs::perms::owner_read | fs::perms::owner_write) << "a save is a new file";
  const std::u16string stored = u"+rcon_password NewSecret9 +map x";
  EXPECT_NE(
      Slurp(root / "serverlist.dat").find(std::string(reinterpret_cast<const char*>(stored.data()), stored.size() * 2)),
      std::string::npos);
  const std::string list = Run({"list"}).out, out = Slurp(root / "kesp.out");
  EXPECT_NE(list.find("+rcon_password *** +map x"), std::string::npos) << list;
  EXPECT_NE(out.find("ran \"edit 1 --params +ip 127.0.0.1 -port 27432 +rcon_password *** +map x\": exit code 0"),
            std::string::npos)
      << out;
  for (const char* file : {"serverlist.dat", "kesp.ini"})
    EXPECT_NE(out.find(std::string(file) + " is readable by other users and holds an RCON password; chmod 600 " +
                       (root / file).string()),
              std::string::npos)
        << out;
  for (const std::string& text : {list, Run({"status"}).out, Run({"status", "--json"}).out,
                                  Run({"log", "-n", "50"}).out, out, edited.out + edited.err})
    for (const char* secret : {"Secret42", "IniSecret7", "NewSecret9"})
      EXPECT_EQ(text.find(secret), std::string::npos) << text;
}

// A root kesp takes nothing another user could have written: a folder all may write, a planted
// module, a list, lock or kesp.ini of another user or writable by the group. Every door refuses
// with one line naming the file, and the planted module never runs.
TEST_F(Kesp, ARootKespRefusesWhatAnotherUserCouldHaveWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "the checks of a root kesp";
  Register("a", 27433);
  std::ofstream(root / "kesp.ini") << "[Options]\nWebhookUrl=http://127.0.0.1:9/\n";
  std::ofstream(root / "kesp.lock").close();
  const fs::path mark = root / "planted.mark";
  const auto shell = [&](const std::string& line) {
    ASSERT_EQ(std::system(("cd " + Quote(root.string()) + " && " + line).c_str()), 0) << line;
  };
  const struct {
    const char *fault, *undo, *named, *said;  // shell lines run in the folder; the file and what is said of it
  } cases[] = {
      {"chmod 1777 .", "chmod 0755 .", "", "owned by uid 0, mode 1777"},
      {"cp " TERVANE_PLANTED_MODULE " kesp-webhook.so && chown 65534 kesp-webhook.so", "rm kesp-webhook.so",
       "/kesp-webhook.so", "owned by uid 65534, mode 0755"},
      {"chown 65534 serverlist.dat", "chown 0 serverlist.dat", "/serverlist.dat",
       "owned by uid 65534, mode 0600; it must belong to root and not be writable by group or others (chown root "},
      {"chown 65534 kesp.lock", "chown 0 kesp.lock", "/kesp.lock", "owned by uid 65534"},
      {"chmod 0664 kesp.ini", "chmod 0644 kesp.ini", "/kesp.ini", "owned by uid 0, mode 0664"},
  };
  for (const auto& c : cases) {
    shell(c.fault);
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"list"}, {"pause", "1"}}) {
      const Result refused = Run(args, "TERVANE_PLANTED_MARK=" + Quote(mark.string()) + " timeout 20");
      EXPECT_EQ(refused.code, 1) << c.fault;
      EXPECT_EQ(refused.err.rfind("kesp: refusing " + root.string() + c.named + ": " + c.said, 0), 0u) << refused.err;
      EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
    }
    shell(c.undo);
  }
  EXPECT_FALSE(fs::exists(mark)) << "the planted module ran";
  EXPECT_EQ(PausedOnDisk(0), 0);
  shell("cp " TERVANE_PLANTED_MODULE " kesp-webhook.so");  // root's own: loaded, so its mark would show
  Supervise("TERVANE_PLANTED_MARK=" + mark.string());
  EXPECT_TRUE(WaitFor([&] { return fs::exists(mark); }));
}

// A mask of only a processor the machine lacks (a list made on a larger machine): kesp runs the
// server all the same and says once, in its log and in the status, that it could not be applied.
// A data folder kesp may not write (here: root's, named with --dir, kesp run as nobody): the
// supervision and a changing command end with the system's reason, never "already supervising".
TEST_F(Kesp, AFolderItMayNotWriteGivesTheSystemsReason) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs kesp as another user, which needs root";
  Register("a", 27414);
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  for (const char* args : {"", " pause 1"}) {
    const std::string command = "cd " + Quote(root.string()) +
                                " && setpriv --reuid=65534 --regid=65534 --clear-groups ./kesp --dir . " + args +
                                " </dev/null >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    const std::string err = Slurp(root / "err.txt");
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << args;
    EXPECT_NE(err.find("kesp.lock: Permission denied"), std::string::npos) << err;
    EXPECT_EQ(err.find("already supervising"), std::string::npos) << err;
  }
}

// A list kesp may not read (another user's; root reads anything, so kesp runs as nobody there)
// is neither shown as empty nor written over: the supervision and every command end with the
// system's reason, and the file stays byte for byte.
TEST_F(Kesp, AnUnreadableListIsLeftAsItIsAndEveryCommandSaysWhy) {
  Register("a", 27415);
  const std::string before = Slurp(root / "serverlist.dat");
  fs::permissions(root / "serverlist.dat", fs::perms::none);
  std::string as;
  if (::geteuid() == 0) {
    // nobody's own folder: a folder that all may write would be refused before the list is read.
    std::ofstream(root / "kesp.lock").close();
    ASSERT_EQ(std::system(("chown 65534 " + Quote(root.string()) + " " + Quote((root / "kesp.lock").string())).c_str()), 0);
    as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  for (const char* args : {"", " list", " status", " add --exe b/hlds --params '+ip 127.0.0.1 -port 27416'", " pause 1"}) {
    const int status = std::system(("cd " + Quote(root.string()) + " && timeout 20 " + as + "./kesp" + args +
                                    " </dev/null >o.txt 2>e.txt")
                                       .c_str());
    const std::string err = Slurp(root / "e.txt");
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << args;
    EXPECT_NE(err.find("cannot read " + (root / "serverlist.dat").string() + ": Permission denied"), std::string::npos)
        << args << ": " << err;
    EXPECT_EQ(Slurp(root / "o.txt").find("no servers registered"), std::string::npos) << args;
  }
  EXPECT_EQ(Slurp(root / "serverlist.dat"), before);
}

// Without a running kesp, status shows the list as saved, says so, and answers 3 as systemctl
// status does for a unit that is not active; scripts can rely on it.
TEST_F(Kesp, StatusWithNobodySupervisingSaysSoAndExitsThree) {
  Register("a", 27417);
  const Result text = Run({"status"});
  EXPECT_EQ(text.code, 3);
  EXPECT_EQ(text.out.rfind("not supervising: ", 0), 0u) << text.out;
  EXPECT_NE(text.out.find("1. a"), std::string::npos);
  const Result json = Run({"status", "--json"});
  EXPECT_EQ(json.code, 3);
  EXPECT_EQ(json.out.rfind("{", 0), 0u) << "the JSON stays whole on its own stream";
  EXPECT_NE(json.out.find("\"supervising\":false"), std::string::npos);
  EXPECT_NE(json.err.find("not supervising"), std::string::npos);
  EXPECT_EQ(json.err.find("not confirmed"), std::string::npos) << "status asks nothing";
  EXPECT_EQ(Run({"list"}).code, 0) << "other commands keep their codes";
}

// A save the running kesp cannot make (its folder turned read-only after the start; kesp runs
// as nobody, since root writes anywhere) is said at the door that asked and in kesp's output,
// and made after a cycle once the folder is writable again.
TEST_F(Kesp, AFailedSaveIsSaidAndMadeOnceTheFolderIsWritableAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs kesp as another user, which needs root";
  Register("a", 27418);
  ASSERT_EQ(std::system(("chown -R 65534:65534 " + Quote(root.string())).c_str()), 0);
  // Every command as nobody, whose folder it is (root's kesp would refuse it), named: a folder
  // nobody may not write would otherwise give way to nobody's state folder.
  runAs = "setpriv --reuid=65534 --regid=65534 --clear-groups";
  dirArgs = {"--dir", root.string()};
  Supervise("NOTIFY_SOCKET=", "exec setpriv --reuid=65534 --regid=65534 --clear-groups");
  fs::permissions(root, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const Result refused = Run({"pause", "1"});  // o.txt and e.txt of root's own Run were made before
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("Permission denied"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("saves it again after every cycle"), std::string::npos) << refused.err;
  EXPECT_EQ(PausedOnDisk(0), 0);
  EXPECT_NE(Slurp(root / "kesp.out").find("Tervane: cannot save"), std::string::npos);
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  EXPECT_TRUE(WaitFor([&] { return PausedOnDisk(0) == 1; }));
  EXPECT_TRUE(WaitFor([&] { return Slurp(root / "kesp.out").find("Tervane: saved") != std::string::npos; }));
}

// A flood of clients on the control socket of a kesp that may open only 40 descriptors: they
// are answered "busy" (or wait) instead of taking the descriptors the supervision keeps, so no
// server is started, ended or paused, and the cycle keeps its pace.
TEST_F(Kesp, AFloodOfControlClientsHarmsNoServerUnderALowDescriptorLimit) {
  Register("a", 27419);
  Register("b", 27420);
  // The keep-alives of each cycle, heard all along (a full queue would stop kesp's sending);
  // while `measuring`, they are counted with the longest gap between two.
  const UniqueFd heard(Listen(root / "notify"));
  std::atomic<bool> measuring{false};
  std::atomic<int> cycles{0};
  std::atomic<double> longest{0};
  std::jthread listener([&](std::stop_token stop) {  // ends with the test, however it ends
    char buffer[512];
    std::chrono::steady_clock::time_point last{};
    while (!stop.stop_requested()) {
      pollfd p{heard.get(), POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0 || ::recv(heard.get(), buffer, sizeof buffer, 0) <= 0 || !measuring) continue;
      const auto now = std::chrono::steady_clock::now();
      if (cycles++ > 0) longest = std::max(longest.load(), std::chrono::duration<double>(now - last).count());
      last = now;
    }
  });
  Supervise("NOTIFY_SOCKET=" + (root / "notify").string(), "ulimit -n 40 && exec");
  const std::vector<int> servers = ServerPids();
  ASSERT_EQ(servers.size(), 2u);
  const std::size_t logBefore = Slurp(root / "kesp.out").size();
  measuring = true;

  // 400 clients at most, for 4 seconds: idle ones, and slow ones that send half a request.
  std::vector<UniqueFd> clients;
  std::size_t mostDescriptors = 0;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (root / "kesp.sock").c_str(), sizeof address.sun_path - 1);
  for (const auto end = std::chrono::steady_clock::now() + 4s; std::chrono::steady_clock::now() < end;) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (clients.size() < 400 && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      if (clients.size() % 2) (void)::send(fd.get(), "2\npau", 6, MSG_NOSIGNAL);
      clients.push_back(std::move(fd));
    }
    std::error_code ec;
    const fs::directory_iterator open("/proc/" + std::to_string(supervisor) + "/fd", ec);
    if (!ec) mostDescriptors = std::max(mostDescriptors, static_cast<std::size_t>(std::distance(open, {})));
    std::this_thread::sleep_for(5ms);
  }
  measuring = false;
  std::cout << "flood: " << clients.size() << " clients connected; kesp held at most " << mostDescriptors
            << " descriptors of 40; " << cycles << " cycles in 4 s, the longest gap " << longest << " s\n";
  clients.clear();
  EXPECT_LE(mostDescriptors, 40u);
  EXPECT_GE(cycles, 10) << "cycles every 200 ms went on";
  EXPECT_LT(longest, 2.0);

  EXPECT_EQ(ServerPids(), servers) << "neither ended nor started";
  const std::string log = Slurp(root / "kesp.out").substr(logBefore);
  for (const char* never : {"Restarting", "Lost (", "Paused", "cannot look"})
    EXPECT_EQ(log.find(never), std::string::npos) << never << "\n" << log;
  EXPECT_TRUE(WaitFor([&] { return Run({"status"}).code == 0; })) << "the door opens again";
  EXPECT_EQ(PausedOnDisk(0) + PausedOnDisk(1), 0);
}

// 24 servers that kesp started under a limit of 64 descriptors: `kesp status` answers. Clients that use up the doors' share are told why, and
// the log says it once.
TEST_F(Kesp, StatusAnswersAtALimitOf64With24ServersItStarted) {
  constexpr int kServers = 24;
  for (int n = 0; n < kServers; ++n) {
    const std::string folder = "s" + std::to_string(n);
    fs::create_directories(root / folder);
    fs::copy_file(TERVANE_FAKESRV, root / folder / "hlds");
    Register(folder.c_str(), 27480 + n);
  }
  Supervise("PATH=/usr/bin:/bin", "ulimit -n 64 && exec");  // each answering in `kesp status`
  EXPECT_EQ(ServerPids().size(), static_cast<std::size_t>(kServers));

  // The doors' share is 8 here: 12 idle clients use it up (their places come back after 10 s).
  std::vector<UniqueFd> idle;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (root / "kesp.sock").c_str(), sizeof address.sun_path - 1);
  for (int n = 0; n < 12; ++n) {
    idle.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(idle.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  Result refused{};
  EXPECT_TRUE(WaitFor([&] { return (refused = Run({"status"})).code == 1; }, 5s)) << refused.out;
  EXPECT_NE(refused.err.find("takes no more clients now: no descriptor to spare: the limit is 64 open files"),
            std::string::npos)
      << refused.err;
  Run({"status"});
  idle.clear();
  EXPECT_TRUE(WaitFor([&] { return Run({"status"}).code == 0; }, 5s)) << "the door opens again";
  const std::string log = Slurp(root / "kesp.out");
  const std::string said = "the doors refuse clients: no descriptor to spare";
  EXPECT_NE(log.find(said), std::string::npos) << log;
  EXPECT_EQ(log.find(said), log.rfind(said)) << "said once";
}

// A client the control socket refuses reads why: past the 16 held ones, "busy"; of another
// user (the socket's mode widened by hand), "permission denied".
TEST_F(Kesp, ARefusedClientOfTheControlSocketIsToldWhy) {
  Register("a", 27475);
  Supervise();
  std::vector<UniqueFd> held;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (root / "kesp.sock").c_str(), sizeof address.sun_path - 1);
  for (int n = 0; n < 16; ++n) {
    held.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(held.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  Result busy{};
  EXPECT_TRUE(WaitFor([&] { return (busy = Run({"status"})).code == 1; }, 5s));
  EXPECT_EQ(busy.err, "kesp: the running kesp is busy with other clients; try again\n");
  held.clear();

  if (::geteuid() != 0) GTEST_SKIP() << "a client of another user needs root";
  fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(root / "kesp.sock", fs::perms::all);
  const pid_t child = ::fork();  // as nobody, its answer left in a file opened before
  if (child == 0) {
    std::ofstream file(root / "nobody.txt");
    std::string error;
    if (::setgid(65534) == 0 && ::setuid(65534) == 0)
      if (const auto got = CallControlSocket((root / "kesp.sock").string(), {"status"}, 5000, error)) file << got->err;
    file.close();
    ::_exit(0);
  }
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(Slurp(root / "nobody.txt").rfind("kesp: permission denied: the running kesp takes commands only", 0), 0u)
      << Slurp(root / "nobody.txt");
}

// --dir (before the command) or TERVANE_DIR name the data folder: made owner-only, it holds the
// list, the lock, the socket and the logs, and the commands and the supervision say which it is.
TEST_F(Kesp, DirOrTervaneDirChooseTheDataFolderThatEveryDoorNames) {
  EXPECT_EQ(Run({"--version"}).out, "kesp (Tervane) " TERVANE_VERSION "\n");
  const Result unknown = Run({"pasue", "1"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_EQ(unknown.err, "kesp: unknown command 'pasue' (did you mean 'pause'?); see kesp --help\n");
  EXPECT_FALSE(fs::exists(root / "serverlist.dat") || fs::exists(root / "kesp.lock")) << "nothing touched";
  const fs::path data = root / "data" / "here";
  const std::string said = "Data folder: " + data.string() + "/\n";
  ASSERT_EQ(Run({"--dir", data.string(), "add", "--exe", "a/hlds", "--params", "+ip 127.0.0.1 -port 27416"}).code, 0);
  EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(Run({"list"}, "TERVANE_DIR=" + Quote(data.string())).out.rfind(said + "1. a  ", 0), 0u) << "named after its folder";

  dirArgs = {"--dir", data.string()};
  Supervise();  // its status comes through the socket in data
  EXPECT_NE(Slurp(root / "kesp.out").find(said + "Tervane " TERVANE_VERSION " supervising 1 server(s) of " +
                                          (data / "serverlist.dat").string()),
            std::string::npos);
  for (const char* file : {"serverlist.dat", "kesp.sock", "kesp.lock", "logs"})
    EXPECT_TRUE(fs::exists(data / file) && !fs::exists(root / file)) << file;
}

// What kesp says on err when it cannot or will not do something is one line beginning "kesp: ",
// from the file door and from the running kesp alike; only a confirmation's question is not.
// A question declined on a terminal exits 3 at both doors; a second kesp is told at once.
TEST_F(Kesp, EveryRefusalIsAKespLineAndADeclinedQuestionExitsThree) {
  Register("a", 27421);
  const auto declined = [&] {
    const std::string command = "cd " + Quote(root.string()) + " && printf 'n\\n' | script -qec './kesp restart 1' /dev/null >pty.txt 2>&1";
    const int status = std::system(command.c_str());
    return std::pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(root / "pty.txt"));
  };
  const std::vector<std::vector<std::string>> refused = {
      {"pasue", "1"}, {"pause", "9"}, {"edit", "1"}, {"cancel", "1"}, {"restart", "1"},
      {"add", "--exe", "a/hlds"}, {"restart", "1", "--in", "x"}, {"rcon", "1", "status"}};
  for (bool supervising : {false, true}) {
    if (supervising) Supervise();
    for (const auto& args : refused) {
      const Result r = Run(args);
      EXPECT_NE(r.code, 0) << args[0];
      std::istringstream lines(r.err);
      for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.rfind("kesp: ", 0) == 0 || line.rfind("Are you sure", 0) == 0) << line;
    }
    const auto [code, said] = declined();
    EXPECT_EQ(code, 3) << said;
    EXPECT_NE(said.find("kesp: not confirmed; nothing changed"), std::string::npos) << said;
  }
  const auto start = std::chrono::steady_clock::now();
  const Result second = Run({}, "timeout 20");
  EXPECT_EQ(second.code, 1);
  EXPECT_EQ(second.err, "kesp: kesp is already supervising the servers of " + (root / "serverlist.dat").string() + "\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "told at once, not after the lock's patience";
  EXPECT_EQ(ServerPids().size(), 1u) << "restarted by nobody";
}

// A kesp in a folder it may not write (or in /usr/bin) keeps its files where Linux keeps a user's
// state, not beside itself.
TEST_F(Kesp, InAFolderItMayNotWriteKespKeepsItsFilesInTheUsersStateFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs kesp as another user, which needs root";
  const fs::path state = root / "state", data = state / "tervane";
  fs::create_directories(state);
  fs::permissions(state, fs::perms::all);
  const std::string asNobody = "XDG_STATE_HOME=" + Quote(state.string()) + " setpriv --reuid=65534 --regid=65534 --clear-groups";
  ASSERT_EQ(Run({"add", "--exe", "a/hlds", "--params", "+ip 127.0.0.1 -port 27417"}, asNobody).code, 0);
  EXPECT_TRUE(fs::exists(data / "serverlist.dat") && !fs::exists(root / "serverlist.dat"));
  EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(Run({"list"}, asNobody).out.rfind("Data folder: " + data.string() + "/\n", 0), 0u);
}

TEST_F(Kesp, AnAffinityThatCannotBeAppliedIsSaidOnceInTheLogAndTheStatus) {
  cpu_set_t present;
  ASSERT_EQ(::sched_getaffinity(0, sizeof present, &present), 0);
  if (CPU_ISSET(31, &present)) GTEST_SKIP() << "processor 31 is present";
  Register("a", 27413);
  {
    std::fstream list(root / "serverlist.dat", std::ios::binary | std::ios::in | std::ios::out);
    list.seekp(1631);  // the record's Affinity, little-endian: processor 31 only
    list.write("\x00\x00\x00\x80", 4);
  }
  Supervise();
  const std::string said = "a: Processor affinity not applied: ";
  EXPECT_TRUE(WaitFor([&] { return Run({"status"}).out.find("Processor affinity not applied: ") != std::string::npos; }));
  std::this_thread::sleep_for(1s);  // a few more cycles, which say nothing new
  const std::string log = Slurp(root / "kesp.out");
  EXPECT_NE(log.find(said), std::string::npos) << log;
  EXPECT_EQ(log.find(said), log.rfind(said)) << log;
}

TEST_F(Kesp, TheServiceUnitPassesSystemdsCheck) {
  const fs::path folder = root / "game servers 100%";
  fs::create_directories(folder);
  fs::copy_file(root / "kesp", folder / "kesp");
  const UnitOptions units[] = {{(folder / "kesp").string(), folder.string() + "/", false},
                               {(folder / "kesp").string(), folder.string() + "/", false, "games", "games"}};
  for (const UnitOptions& options : units) {
    std::ofstream(root / "tervane.service") << UnitText(options);
    const std::string unit = Slurp(root / "tervane.service");
    for (const char* line : {"Type=notify", "KillMode=process", "Restart=on-failure", "WatchdogSec=", "LimitNOFILE=65536"})
      EXPECT_NE(unit.find(line), std::string::npos) << line;
    EXPECT_EQ(unit.find("User=games\nGroup=games\n") != std::string::npos, !options.runAs.empty());
    EXPECT_NE(unit.find("/kesp\" --dir \"" + root.string() + "/game servers 100%%/\"\n"), std::string::npos)
        << "the data folder given to it";
    const int status = std::system(("systemd-analyze verify " + Quote((root / "tervane.service").string()) + " >" +
                                    Quote((root / "verify.txt").string()) + " 2>&1")
                                       .c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0) << Slurp(root / "verify.txt");
    EXPECT_EQ(Slurp(root / "verify.txt"), "");
  }
}

// Without systemd, for a user the system does not know, or with --as on a user's own unit, the
// service command says why and leaves no unit behind.
TEST_F(Kesp, TheServiceCommandLeavesNoUnitWhereItCannotRun) {
  ServicePlaces places{(root / "run-systemd").string(), (root / "units").string(), (root / "user-units").string()};
  const struct {
    std::vector<std::string> args;
    bool systemd;
    int code;
    const char* says;
  } cases[] = {
      {{"service", "install"}, false, 1, "systemd is not running"},
      {{"service", "install", "--as", "no-such-user-here"}, true, 1, "there is no user 'no-such-user-here'"},
      {{"service", "install", "--user", "--as", "nobody"}, true, 2, "--as is for the system's service manager"},
  };
  for (const auto& c : cases) {
    fs::remove_all(places.systemdRuntime);
    if (c.systemd) fs::create_directories(places.systemdRuntime);
    std::ostringstream out, err;
    ParsedCommand parsed;
    ASSERT_EQ(ParseCommandLine(c.args, parsed, out, err), kRunCommand) << err.str();
    EXPECT_EQ(RunServiceCommand(ServiceRequest{parsed.install, parsed.user, parsed.as}, (root / "kesp").string(),
                                root.string() + "/", out, err, places),
              c.code)
        << c.says;
    EXPECT_NE(err.str().find(c.says), std::string::npos) << err.str();
    EXPECT_FALSE(fs::exists(fs::path(places.systemUnits) / "tervane.service")) << c.says;
    EXPECT_FALSE(fs::exists(fs::path(places.userUnits) / "tervane.service")) << c.says;
  }
}

TEST_F(Kesp, TheServiceManagerHearsReadyKeepAlivesAndStopping) {
  Register("a", 27413);
  const fs::path socketPath = root / "notify";
  const int fd = Listen(socketPath);
  Supervise("NOTIFY_SOCKET=" + socketPath.string());
  std::string heard;
  auto listen = [&](const std::string& until) {
    return WaitFor([&] {
      char buffer[512];
      pollfd p{fd, POLLIN, 0};
      while (::poll(&p, 1, 0) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) heard += std::string(buffer, static_cast<std::size_t>(n)) + "\n";
      }
      return heard.find(until) != std::string::npos;
    });
  };
  ASSERT_TRUE(listen("READY=1")) << heard;
  EXPECT_NE(heard.find("STATUS=supervising 1 server(s)"), std::string::npos);
  heard.clear();
  EXPECT_TRUE(listen("WATCHDOG=1")) << "a keep-alive each cycle";
  ::kill(supervisor, SIGTERM);
  EXPECT_TRUE(listen("STOPPING=1"));
  ::close(fd);
}

// The times every thread of a process so far gave up the processor or was made to.
long long ContextSwitches(pid_t pid) {
  long long total = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.find("ctxt_switches:") != std::string::npos) total += std::atoll(line.c_str() + line.find(':') + 1);
  }
  return total;
}

// Between its cycles nothing wakes kesp: no thread of it (the output cap, the doors) polls on a
// clock. A cycle of two servers wakes it for its timers and the replies, a few times (about
// three; a cap that looked at the output files every 10 ms made it about fifteen).
TEST_F(Kesp, AnIdleKespWakesOnlyForItsCycles) {
  Register("a", 27461);
  Register("b", 27462);
  const fs::path socketPath = root / "notify";
  const int fd = Listen(socketPath);
  Supervise("NOTIFY_SOCKET=" + socketPath.string());
  auto cycles = [&](int n) {
    for (char buffer[512]; n > 0;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      n -= got > 0 && std::string_view(buffer, static_cast<std::size_t>(got)).find("WATCHDOG=1") != std::string_view::npos;
    }
    return true;
  };
  ASSERT_TRUE(cycles(2));
  const long long before = ContextSwitches(supervisor);
  constexpr int kCycles = 10;
  ASSERT_TRUE(cycles(kCycles));
  const double perCycle = static_cast<double>(ContextSwitches(supervisor) - before) / kCycles;
  EXPECT_LE(perCycle, 8.0) << "wake-ups per 200-ms cycle, all threads";
  ::close(fd);
}

// The notification is our own datagram: to a socket's path (above, with kesp itself), or to an
// abstract address after '@', as systemd names its own; nothing without a usable name.
TEST(ServiceManager, TheNotificationReachesAnAbstractAddressAndNothingElse) {
  const std::string name = "tervane-notify-test-" + std::to_string(::getpid());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
            0);
  ::setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
  EXPECT_TRUE(NotifyServiceManager("WATCHDOG=1"));
  char buffer[64];
  EXPECT_EQ(::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT), 10);
  EXPECT_EQ(std::string(buffer, 10), "WATCHDOG=1");
  for (const char* unusable : {"", "relative/path", "@"}) {
    ::setenv("NOTIFY_SOCKET", unusable, 1);
    EXPECT_FALSE(NotifyServiceManager("WATCHDOG=1")) << unusable;
  }
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(NotifyServiceManager("WATCHDOG=1"));
  ::close(fd);
}

TEST(ControlRequest, OnlyWholeWellFormedRequestsAreRead) {
  bool bad = false;
  EXPECT_EQ(DecodeControlRequest(EncodeControlRequest({"pause", "1", ""}), bad),
            (std::vector<std::string>{"pause", "1", ""}));
  for (const std::string& incomplete : {std::string(""), std::string("2"), std::string("2\npause\0", 8)}) {
    EXPECT_FALSE(DecodeControlRequest(incomplete, bad));
    EXPECT_FALSE(bad);
  }
  for (const std::string& malformed : {std::string("x\n"), std::string("999\n"), std::string("1\na\0b", 5),
                                      std::string("-1\n"), std::string(20, '9')}) {
    EXPECT_FALSE(DecodeControlRequest(malformed, bad));
    EXPECT_TRUE(bad) << malformed;
  }
  const ControlAnswer answer{3, "out\n", "err\n"};
  const auto back = DecodeControlAnswer(EncodeControlAnswer(answer));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->code, 3);
  EXPECT_EQ(back->err, "err\n");
}

}  // namespace
}  // namespace tervane
