// kesp.exe's service mode under Wine: the command-line installation and removal with their
// boxes, the File menu's service items, and the program started by the service manager,
// supervising a stand-in server on 127.0.0.1 until the stop control (or its own Exit) ends it.
//
// Under Wine every process runs as the Unix user, so the tests run the service under that
// account (the program's account test then matches, as it matches "SYSTEM" on Windows), and
// a service without the interactive type runs in a window station of its own, where the tests
// look for its window.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gui_driver_win32.h"
#include "observe/http_client.h"
#include "service/service_setup_win32.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "support/version.h"
#include "ui/win32/resource_ids.h"

namespace tervane::gui {
namespace {

namespace fs = std::filesystem;
namespace svc = tervane::service_setup;

constexpr wchar_t kMainClass[] = L"TfrmTervane.UnicodeClass";
constexpr wchar_t kCaption[] = L"Tervane v2.3";
constexpr wchar_t kServiceCaption[] = L"Tervane v2.3 (Service)";
// Where Wine's service manager puts a service that is not interactive.
constexpr wchar_t kServiceStation[] = L"__wineservice_winstation";
constexpr wchar_t kServiceDesktop[] = L"__wineservice_winstation\\Default";

std::u16string Caption(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return std::u16string(text, text + wcslen(text));
}

// kesp.exe started with arguments, in the test's desktop or another one; ended when dropped.
class Program {
 public:
  Program(const fs::path& exe, const std::wstring& args, const wchar_t* desktop) {
    static const HANDLE nul = [] {
      SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, nullptr);
    }();
    std::wstring commandLine = L"\"" + exe.wstring() + L"\"" + (args.empty() ? L"" : L" " + args);
    std::wstring desktopName = desktop ? desktop : L"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    if (desktop) startup.lpDesktop = desktopName.data();
    PROCESS_INFORMATION info{};
    // From the temporary folder: the program finds its files beside itself.
    if (CreateProcessW(exe.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       fs::temp_directory_path().wstring().c_str(), &startup, &info)) {
      CloseHandle(info.hThread);
      process_ = info.hProcess;
      pid_ = info.dwProcessId;
    }
  }
  ~Program() {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_, 1);
      WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool Started() const { return process_ != nullptr; }
  DWORD Pid() const { return pid_; }
  bool Running() const { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  std::optional<DWORD> WaitExit(std::chrono::milliseconds limit) const {
    if (!process_ || WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
      return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
  }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// Top-level windows of a process by class (and caption), shown or not, in the test's desktop.
std::vector<HWND> AllTopLevelWindows(DWORD pid, const wchar_t* className, const wchar_t* caption = nullptr) {
  struct Search {
    DWORD pid;
    const wchar_t* cls;
    const wchar_t* caption;
    std::vector<HWND> found;
  } search{pid, className, caption, {}};
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        wchar_t cls[256] = {};
        GetClassNameW(w, cls, 256);
        if (owner == s->pid && wcscmp(cls, s->cls) == 0 &&
            (!s->caption || Caption(w) == std::u16string(s->caption, s->caption + wcslen(s->caption))))
          s->found.push_back(w);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Top-level windows of the service's desktop with a class and caption (any process, shown or
// not). The desktop is opened from its window station; the test's own station is kept.
std::vector<HWND> ServiceDesktopWindows(const wchar_t* className, const wchar_t* caption) {
  std::vector<HWND> found;
  HWINSTA own = GetProcessWindowStation();
  HWINSTA station = OpenWindowStationW(kServiceStation, FALSE, GENERIC_ALL);
  if (!station) return found;
  HDESK desktop = nullptr;
  if (SetProcessWindowStation(station)) {
    desktop = OpenDesktopW(L"Default", 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
    SetProcessWindowStation(own);
  }
  if (desktop) {
    struct Search {
      const wchar_t* cls;
      std::u16string caption;
      std::vector<HWND>* found;
    } search{className, std::u16string(caption, caption + wcslen(caption)), &found};
    EnumDesktopWindows(
        desktop,
        [](HWND w, LPARAM p) -> BOOL {
          auto* s = reinterpret_cast<Search*>(p);
          wchar_t cls[256] = {};
          GetClassNameW(w, cls, 256);
          if (wcscmp(cls, s->cls) == 0 && Caption(w) == s->caption) s->found->push_back(w);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    CloseDesktop(desktop);
  }
  CloseWindowStation(station);
  return found;
}

// Shown as far as the window itself goes (the desktop of the service's window station is never
// visible, so IsWindowVisible answers false for all its windows).
bool Shown(HWND window) { return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

DWORD WindowProcess(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

// Whether a monthly log file beside the program holds the text (UTF-16LE).
bool LogHas(const fs::path& dir, const std::u16string& text) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir / "logs", ignored)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::u16string content;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
      content.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (content.find(text) != std::u16string::npos) return true;
  }
  return false;
}

class KespService : public ::testing::Test {
 protected:
  void SetUp() override {
    svc::StopAndRemove();
    ASSERT_FALSE(svc::Installed()) << "a service \"kesp\" is left from elsewhere";
  }
  // Before the scene goes: no service, no service process.
  void TearDown() override { svc::StopAndRemove(); }

  fs::path Exe() const { return scene.Dir() / "kesp.exe"; }
  std::unique_ptr<Program> Kesp(const std::wstring& args, const wchar_t* desktop = nullptr) {
    auto program = std::make_unique<Program>(Exe(), args, desktop);
    EXPECT_TRUE(program->Started());
    return program;
  }
  // A command line that ends by itself without any box; answers its exit code.
  std::optional<DWORD> RunQuietly(const std::wstring& args) {
    auto program = Kesp(args);
    const auto code = program->WaitExit(60s);
    EXPECT_TRUE(code.has_value()) << "kesp.exe " << Narrow(U(args))
                                  << " still runs";
    return code;
  }
  // A command line that shows a box without owner: answers its text and presses OK; the
  // program then ends.
  std::u16string RunWithBox(const std::wstring& args) {
    auto program = Kesp(args);
    const auto box = WaitForMessageBox(program->Pid(), nullptr, 60s);
    if (!box) return u"(no box)";
    const std::u16string text = box->Text();
    EXPECT_TRUE(box->Press(IDOK));
    EXPECT_TRUE(program->WaitExit(20s).has_value()) << "the program ends after the box";
    return text;
  }
  // The registered binary path is the program's path in double quotes.
  bool PathIsOurs(const std::wstring& path) const {
    if (path.size() < 2 || path.front() != L'"' || path.back() != L'"') return false;
    std::error_code ignored;
    return fs::equivalent(fs::path(path.substr(1, path.size() - 2)), Exe(), ignored);
  }

  Scene scene;
};

// ------------------------------------------------------------------ command line

TEST_F(KespService, InstallsSilentlyWithItsDefinitionAndRemovesWithTheBox) {
  scene.SaveList();
  EXPECT_EQ(RunQuietly(L"-install /SILENT"), 0u);
  ASSERT_TRUE(svc::Installed());
  const svc::Config c = svc::ReadConfig();
  EXPECT_EQ(c.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
  EXPECT_EQ(c.start, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(c.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_TRUE(PathIsOurs(c.path)) << Narrow(U(c.path));
  EXPECT_EQ(c.path.find(L'"', 1), c.path.size() - 1) << "quoted once, no arguments";
  EXPECT_EQ(c.displayName, L"Tervane");
  EXPECT_EQ(_wcsicmp(c.account.c_str(), L"LocalSystem"), 0);
  EXPECT_EQ(svc::Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "installed, not started";

  EXPECT_EQ(RunWithBox(L"/UnInstall"), u"Service uninstalled successfully");
  EXPECT_TRUE(WaitFor([] { return !svc::Installed(); }, 5s));
}

TEST_F(KespService, InstallBoxComesAfterTheStartUpCycle) {
  ServerEntry& alpha = scene.AddServer("Alpha");
  scene.SaveList();
  // The server already runs: the first cycle finds it and gives its console the server's name.
  ASSERT_EQ(scene.Process().StartServerProcess(alpha.FileName.str(), alpha.Params.str(), 0, false, 1).Error(), 0u);
  ASSERT_TRUE(WaitFor([&] { return scene.ConsoleWindow(alpha) != nullptr; }, 20s));
  ASSERT_NE(WindowText(scene.ConsoleWindow(alpha)), u"Alpha");

  auto program = Kesp(L"/install");
  const auto box = WaitForMessageBox(program->Pid(), nullptr, 60s);
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->Text(), u"Service installed successfully");
  EXPECT_TRUE(svc::Installed()) << "installed before the box";
  EXPECT_EQ(WindowText(scene.ConsoleWindow(alpha)), u"Alpha") << "the first cycle ran before";
  EXPECT_TRUE(AllTopLevelWindows(program->Pid(), kMainClass).size() == 1u) << "the main window was made";
  EXPECT_TRUE(TopLevelWindows(program->Pid(), kMainClass).empty()) << "and not shown";
  EXPECT_TRUE(box->Press(IDOK));
  EXPECT_EQ(program->WaitExit(20s), std::optional<DWORD>(0));
  EXPECT_EQ(svc::Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "not started";
  EXPECT_TRUE(scene.ServerRunning(alpha)) << "the server is left running";
}

TEST_F(KespService, FailuresShowTheSystemsTextEvenWhenSilent) {
  scene.SaveList();
  EXPECT_EQ(RunQuietly(L"-install -silent"), 0u);
  EXPECT_EQ(RunWithBox(L"-INSTALL -SILENT"),
            u"Service \"Tervane\" failed to install with error: \"" + SystemErrorText(ERROR_SERVICE_EXISTS) + u"\"");
  EXPECT_TRUE(svc::Installed()) << "the first installation stays";

  EXPECT_EQ(RunQuietly(L"/uninstall /silent"), 0u);
  EXPECT_TRUE(WaitFor([] { return !svc::Installed(); }, 5s));
  EXPECT_EQ(RunWithBox(L"/uninstall /silent"),
            u"Service \"Tervane\" failed to uninstall with error: \"" + SystemErrorText(ERROR_SERVICE_DOES_NOT_EXIST) +
                u"\"");
}

TEST_F(KespService, SwitchesComeBeforeTheSecondStartCheck) {
  scene.SaveList();
  ASSERT_TRUE(scene.StartKesp());
  // Not handed to the running instance: the switch is acted on.
  EXPECT_EQ(RunQuietly(L"-install -silent"), 0u);
  EXPECT_TRUE(svc::Installed());
  EXPECT_TRUE(IsWindowVisible(scene.MainWindow())) << "the interactive instance runs on";
}

TEST_F(KespService, BackslashSwitchTakesTheServicePathButInstallsNothing) {
  scene.SaveList();
  auto program = Kesp(L"\\INSTALL");
  // The service path builds the windows and shows none; the service framework does not take
  // "\" switches, tries to connect to the manager, fails and the program ends.
  EXPECT_TRUE(WaitFor([&] { return !AllTopLevelWindows(program->Pid(), kMainClass, kCaption).empty(); }, 20s));
  bool shown = false;
  const bool ended = WaitFor(
      [&] {
        shown = shown || !TopLevelWindows(program->Pid(), kMainClass).empty() ||
                !TopLevelWindows(program->Pid(), L"#32770").empty();
        return !program->Running();
      },
      90s);
  EXPECT_TRUE(ended) << "the failed connection ends the program";
  EXPECT_FALSE(shown) << "no window and no box";
  EXPECT_FALSE(svc::Installed());
}

// "-version" only shows the version: it is acted on before the run mode is chosen, so nothing is
// made or read; together with a service switch the switch is acted on as before.
TEST_F(KespService, VersionSwitchShowsTheVersionAndDoesNothingElse) {
  scene.SaveList();
  auto program = Kesp(L"/Version");
  const auto box = WaitForMessageBox(program->Pid(), nullptr, 60s);
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->Text(), u"kesp (Tervane) " TERVANE_VERSION);
  EXPECT_TRUE(AllTopLevelWindows(program->Pid(), kMainClass).empty()) << "no main window was made";
  EXPECT_TRUE(box->Press(IDOK));
  EXPECT_EQ(program->WaitExit(20s), std::optional<DWORD>(0));

  EXPECT_EQ(RunQuietly(L"-install -silent -version"), 0u);
  EXPECT_TRUE(svc::Installed());
}

// ------------------------------------------------------------------ File menu

class KespServiceMenu : public KespService {
 protected:
  // Opens the File menu as Alt+F does and presses an item's mnemonic. A disabled item does
  // nothing; the menu is closed again. Answers the text of the box that follows (pressing OK),
  // or nothing when no box comes: waited for long when one is expected, briefly otherwise.
  std::optional<std::u16string> Pick(wchar_t mnemonic, bool expectBox) {
    HWND main = scene.MainWindow();
    const DWORD pid = scene.KespProcessId();
    PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, L'f');
    EXPECT_TRUE(WaitFor([&] { return !TopLevelWindows(pid, L"#32768").empty(); }, 10s)) << "File menu open";
    PostMessageW(main, WM_CHAR, mnemonic, 0);
    std::optional<std::u16string> text;
    if (const auto box = WaitForMessageBox(pid, main, expectBox ? 20s : 2s)) {
      text = box->Text();
      EXPECT_TRUE(box->Press(IDOK));
    }
    for (int i = 0; i < 5 && !TopLevelWindows(pid, L"#32768").empty(); ++i) {
      PostMessageW(main, WM_KEYDOWN, VK_ESCAPE, 0);
      WaitFor([&] { return TopLevelWindows(pid, L"#32768").empty(); }, 1s);
    }
    // Any menu mode is over once the window answers again.
    EXPECT_TRUE(MainWindow(main).Command(0));
    return text;
  }
  // The command itself, as a stale menu would send it.
  std::u16string Command(int id) {
    MainWindow main(scene.MainWindow());
    main.PostCommand(id);
    const auto box = WaitForMessageBox(scene.KespProcessId(), main.Handle());
    if (!box) return u"(no box)";
    const std::u16string text = box->Text();
    EXPECT_TRUE(box->Press(IDOK));
    return text;
  }
};

TEST_F(KespServiceMenu, ItemsFollowTheInstalledStateWithTheResultBoxes) {
  scene.SaveList();
  ASSERT_TRUE(scene.StartKesp());
  BringToFront(scene.MainWindow());

  EXPECT_EQ(Pick(L'u', false), std::nullopt) << "nothing to remove: Uninstall disabled";
  EXPECT_EQ(Pick(L'i', true), std::optional<std::u16string>(u"Install Service Successful!"));
  ASSERT_TRUE(svc::Installed());
  EXPECT_TRUE(PathIsOurs(svc::ReadConfig().path));
  EXPECT_EQ(svc::Status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "installed, not started";
  EXPECT_EQ(Pick(L'i', false), std::nullopt) << "installed: Install disabled";
  EXPECT_EQ(Command(IDM_menuInstallService), u"Install Service Failed!");

  EXPECT_EQ(Pick(L'u', true), std::optional<std::u16string>(u"Uninstall Service Successful!"));
  EXPECT_TRUE(WaitFor([] { return !svc::Installed(); }, 5s));
  EXPECT_EQ(Pick(L'u', false), std::nullopt) << "removed: Uninstall disabled";
  EXPECT_EQ(Command(IDM_menuUninstallService), u"Uninstall Service Failed!");
  EXPECT_EQ(Pick(L'i', true), std::optional<std::u16string>(u"Install Service Successful!")) << "enabled again";
}

// ------------------------------------------------------------------ the running service

class KespServiceRun : public KespService {
 protected:
  // Installs the scene's kesp.exe as the service under the test's account and starts it;
  // answers the service's process, or null.
  HANDLE RunService() {
    if (!svc::Installed()) {
      if (RunQuietly(L"-install -silent") != std::optional<DWORD>(0) || !svc::UseOwnAccount()) return nullptr;
    }
    {
      svc::OpenedService service;
      if (!service || !::StartServiceW(service.Handle(), 0, nullptr)) {
        ADD_FAILURE() << "StartServiceW failed: " << GetLastError();
        return nullptr;
      }
    }
    if (!WaitFor([] { return svc::Status().dwCurrentState == SERVICE_RUNNING; }, 60s)) {
      ADD_FAILURE() << "not running; state " << svc::Status().dwCurrentState;
      return nullptr;
    }
    return OpenProcess(SYNCHRONIZE, FALSE, svc::Status().dwProcessId);
  }
  // The service's main window, once it carries the service's caption.
  HWND ServiceWindow(DWORD pid) {
    HWND found = nullptr;
    WaitFor(
        [&] {
          for (HWND w : ServiceDesktopWindows(kMainClass, kServiceCaption))
            if (WindowProcess(w) == pid) found = w;
          return found != nullptr;
        },
        20s);
    return found;
  }
  bool Stopped(HANDLE process) {
    return WaitFor([] { return svc::Status().dwCurrentState == SERVICE_STOPPED; }, 30s) &&
           WaitForSingleObject(process, 30000) == WAIT_OBJECT_0;
  }
};

TEST_F(KespServiceRun, SupervisesAsTheServiceUntilItsExitStopsIt) {
  ServerEntry& alpha = scene.AddServer("Alpha");
  scene.SaveList();
  HANDLE process = RunService();
  ASSERT_NE(process, nullptr);
  const DWORD pid = svc::Status().dwProcessId;

  HWND window = ServiceWindow(pid);
  ASSERT_NE(window, nullptr) << "the start event gives the window the service's caption";
  EXPECT_FALSE(Shown(window)) << "no window is shown in the service";

  // The shipped timing: the missing server is started at the fourth cycle, about 16 s in.
  EXPECT_TRUE(WaitFor([&] { return scene.ServerRunning(alpha); }, 60s)) << "the service supervises";
  EXPECT_TRUE(WaitFor([&] { return LogHas(scene.Dir(), u"Starting server."); }, 10s));

  // Closing the window only hides it.
  PostMessageW(window, WM_CLOSE, 0, 0);
  DWORD_PTR ignored = 0;
  EXPECT_TRUE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored));
  EXPECT_TRUE(IsWindow(window));
  EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // An interactive instance in the same desktop is not handed to the service's window... The
  // service goes back to the system's account, so that the test's user starts the interactive
  // program; the running service is not affected.
  ASSERT_TRUE(svc::UseLocalSystem());
  {
    auto interactive = Kesp(L"", kServiceDesktop);
    HWND own = nullptr;
    EXPECT_TRUE(WaitFor(
        [&] {
          for (HWND w : ServiceDesktopWindows(kMainClass, kCaption))
            if (WindowProcess(w) == interactive->Pid() && Shown(w)) own = w;
          return own != nullptr;
        },
        20s))
        << "the interactive instance runs beside the service and shows its window";
    EXPECT_TRUE(interactive->Running());
    // ... while a further start in that desktop is handed to the interactive one.
    auto second = Kesp(L"", kServiceDesktop);
    EXPECT_EQ(second->WaitExit(30s), std::optional<DWORD>(0));
    EXPECT_TRUE(interactive->Running());
  }

  // Exit in the service asks the manager for the stop, which ends the program.
  PostMessageW(window, WM_COMMAND, IDM_menuExit, 0);
  EXPECT_TRUE(Stopped(process)) << "Exit stops the service";
  CloseHandle(process);
  EXPECT_TRUE(scene.ServerRunning(alpha)) << "the server is left running";
}

TEST_F(KespServiceRun, StopControlEndsTheProgramAndLeavesTheServerRunning) {
  ServerEntry& alpha = scene.AddServer("Alpha");
  scene.SaveList();
  HANDLE process = RunService();
  ASSERT_NE(process, nullptr);
  ASSERT_NE(ServiceWindow(svc::Status().dwProcessId), nullptr);
  EXPECT_TRUE(WaitFor([&] { return scene.ServerRunning(alpha); }, 60s));

  {
    svc::OpenedService service;
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.Handle(), SERVICE_CONTROL_STOP, &status));
  }
  EXPECT_TRUE(Stopped(process));
  CloseHandle(process);
  EXPECT_TRUE(scene.ServerRunning(alpha));

  // The installed service starts again.
  process = RunService();
  ASSERT_NE(process, nullptr);
  EXPECT_NE(ServiceWindow(svc::Status().dwProcessId), nullptr);
  CloseHandle(process);
}

// kesp.ini's endpoint runs in the service as in the window program.
TEST_F(KespServiceRun, ServesTheMetricsOfKespIniAsTheService) {
  scene.AddServer("Alpha");
  scene.SaveList();
  const int port = FreeUdpPort();
  {
    std::ofstream ini(scene.Dir() / "kesp.ini", std::ios::binary);
    ini << "[Options]\r\nHttpListen=127.0.0.1:" << port << "\r\n";
  }
  HANDLE process = RunService();
  ASSERT_NE(process, nullptr);
  HttpCall get;
  get.method = "GET";
  get.url = "http://127.0.0.1:" + std::to_string(port) + "/metrics";
  get.contentType.clear();
  EXPECT_TRUE(WaitFor([&] { return SendHttp(get).body.find("tervane_server_paused{name=\"Alpha\"") != std::string::npos; }, 30s));
  {
    svc::OpenedService service;
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.Handle(), SERVICE_CONTROL_STOP, &status));
  }
  EXPECT_TRUE(Stopped(process));
  CloseHandle(process);
  EXPECT_EQ(SendHttp(get).status, 0) << "the endpoint ends with the service";
}

}  // namespace
}  // namespace tervane::gui
