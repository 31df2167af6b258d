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

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/control_socket_linux.h"
#include "app/systemd_linux.h"
#include "core/server_entry.h"
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
    std::string command = "cd " + Quote(root.string()) + " && " + environment + " ./kesp";
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
  // kesp supervising in the background, with the tests' short cycle.
  void Supervise(const std::string& extraEnvironment = "PATH=/usr/bin:/bin") {
    const std::string exe = (root / "kesp").string();
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (auto& a : dirArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"TERVANE_TEST_CYCLE_MS=200", extraEnvironment};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (root / "kesp.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(posix_spawn(&supervisor, exe.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_TRUE(WaitFor([&] { return Run({"status"}).out.find("Players: 0/32") != std::string::npos; }));
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
  pid_t supervisor = -1;
};

TEST_F(Kesp, AddRefusesWhatTheRecordCannotHoldOrTheServerCannotRun) {
  fs::permissions(root / "b" / "hlds", fs::perms::owner_read | fs::perms::owner_write);
  const std::string exe = "a/hlds";
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
      {{"--exe", "b/hlds"}, "not executable"},
      {{"--exe", std::string(270, 'x')}, "longer than 260"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = Run(args);
    EXPECT_NE(r.code, 0) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << "no raw escape reaches the terminal";
  }
  EXPECT_FALSE(fs::exists(root / "serverlist.dat")) << "nothing was registered";
  const Result noPort = Run({"add", "--exe", exe, "--params", "+ip 127.0.0.1"});
  EXPECT_EQ(noPort.code, 0);
  EXPECT_NE(noPort.out.find("27015 is used"), std::string::npos);
  EXPECT_NE(Run({"list"}).out.find("Normal"), std::string::npos) << "priority normal by default";
}

TEST_F(Kesp, TheRunningKespTakesTheCommandsAndSurvivesBadClients) {
  Register("a", 27411);
  Register("b", 27412);
  Supervise();
  EXPECT_EQ(fs::status(root / "kesp.sock").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  const Result json = Run({"status", "--json"});
  EXPECT_NE(json.out.find("\"Server Name\": \"b\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"Last Restart Reason\": \"first_start\""), std::string::npos);

  // A client that hangs up halfway through its request, and one that sends garbage.
  Raw("2\npause\0", true);
  const std::string refused = Raw("garbage that is no request\n", false);
  EXPECT_EQ(refused.rfind("2\n", 0), 0u) << refused;
  EXPECT_EQ(PausedOnDisk(0), 0) << "half a request does nothing";

  ASSERT_EQ(Run({"pause", "2"}).code, 0);
  EXPECT_EQ(PausedOnDisk(1), 1) << "saved by the running kesp";
  EXPECT_NE(Run({"status"}).out.find("Process Status: Paused Monitor"), std::string::npos);

  const Result unconfirmed = Run({"restart", "1"});
  EXPECT_EQ(unconfirmed.code, 3);
  EXPECT_NE(unconfirmed.err.find("Are you sure to Restart \"a\"?"), std::string::npos);
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

// --dir (before the command) or TERVANE_DIR name the data folder: made owner-only, it holds the
// list, the lock, the socket and the logs, and the commands and the supervision say which it is.
TEST_F(Kesp, DirOrTervaneDirChooseTheDataFolderThatEveryDoorNames) {
  EXPECT_EQ(Run({"--version"}).out, "kesp (Tervane) " TERVANE_VERSION "\n");
  const fs::path data = root / "data" / "here";
  const std::string said = "Data folder: " + data.string() + "/\n";
  ASSERT_EQ(Run({"--dir", data.string(), "add", "--exe", "a/hlds", "--params", "+ip 127.0.0.1 -port 27416"}).code, 0);
  EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(Run({"list"}, "TERVANE_DIR=" + Quote(data.string())).out.rfind(said + "1. n# Server", 0), 0u);

  dirArgs = {"--dir", data.string()};
  Supervise();  // its status comes through the socket in data
  EXPECT_NE(Slurp(root / "kesp.out").find(said + "Tervane " TERVANE_VERSION " supervising 1 server(s) of " +
                                          (data / "serverlist.dat").string()),
            std::string::npos);
  for (const char* file : {"serverlist.dat", "kesp.sock", "kesp.lock", "logs"})
    EXPECT_TRUE(fs::exists(data / file) && !fs::exists(root / file)) << file;
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
  std::ofstream(root / "tervane.service") << UnitText({(folder / "kesp").string(), folder.string() + "/", false});
  const std::string unit = Slurp(root / "tervane.service");
  for (const char* line : {"Type=notify", "KillMode=process", "Restart=on-failure", "WatchdogSec="})
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  EXPECT_NE(unit.find("/kesp\" --dir \"" + root.string() + "/game servers 100%%/\"\n"), std::string::npos)
      << "the data folder given to it";
  const int status = std::system(("systemd-analyze verify " + Quote((root / "tervane.service").string()) + " >" +
                                  Quote((root / "verify.txt").string()) + " 2>&1")
                                     .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 0) << Slurp(root / "verify.txt");
  EXPECT_EQ(Slurp(root / "verify.txt"), "");
}

TEST_F(Kesp, TheServiceManagerHearsReadyKeepAlivesAndStopping) {
  Register("a", 27413);
  const fs::path socketPath = root / "notify";
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
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
