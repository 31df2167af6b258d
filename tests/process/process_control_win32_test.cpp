// What Windows adds: letter case in paths, priority classes and affinity masks read back, the
// exact command line, the console window and its show state and title, and the fatal-error
// dialog with its message. Under Wine the stand-in opens its own window of class
// "ConsoleWindowClass", as Wine's own console window has another class.
#include <windows.h>

#include <chrono>

#include "process/params.h"
#include "process/server_windows.h"
#include "process_fixture.h"
#include "support/text_win32.h"

namespace tervane::testing {
namespace {

HWND Hwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }

std::u16string ClassOf(WindowHandle window) {
  wchar_t name[256] = {};
  GetClassNameW(Hwnd(window), name, 256);
  return U(name);
}

std::u16string TitleOf(WindowHandle window) {
  wchar_t title[256] = {};
  GetWindowTextW(Hwnd(window), title, 256);
  return U(title);
}

DWORD PriorityClassOf(ProcessId id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (!process) return 0;
  const DWORD value = GetPriorityClass(process);
  CloseHandle(process);
  return value;
}

DWORD_PTR AffinityOf(ProcessId id) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(id));
  if (!process) return 0;
  DWORD_PTR mask = 0;
  DWORD_PTR system = 0;
  GetProcessAffinityMask(process, &mask, &system);
  CloseHandle(process);
  return mask;
}

DWORD_PTR SystemAffinity() {
  DWORD_PTR mask = 0;
  DWORD_PTR system = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &mask, &system);
  return system;
}

class WindowsProcessControlTest : public ProcessControlTest {
 protected:
  // Starts the stand-in through the control and waits until its windows exist.
  ProcessId Start(const Path& server, const std::u16string& params, std::uint8_t priority = 0,
                  bool hide = false, std::uint32_t affinity = 1) {
    const Path folder = server.substr(0, server.rfind(u'\\') + 1);
    const Path ready = folder + u"ready.txt";
    std::filesystem::remove(Fs(ready));
    if (control_->StartServerProcess(server, u"--report ready.txt " + params, priority, hide,
                                     affinity).Error() != 0) {
      return -1;
    }
    if (!WaitForReport(ready)) return -1;
    const auto pids = ProcessesOf(server);
    return pids.size() == 1 ? pids[0] : -1;
  }

  void End(const Path& server) {
    control_->TerminateServerProcess(server);
    EXPECT_TRUE(WaitFor([&] { return !control_->IsServerRunning(server); }));
  }

  WindowHandle WaitForFatalErrorWindow() {
    WindowHandle dialog = 0;
    WaitFor([&] { return (dialog = windows_.FindFatalErrorWindow()) != 0; });
    return dialog;
  }

  IServerWindows& windows_ = *control_->Windows();
};

TEST_F(WindowsProcessControlTest, APathWithoutAFolderGetsTheEmptyWorkingFolderNotTheMonitors) {
  const Path server = PlaceCopy(u"srv");
  const Path folder = server.substr(0, server.rfind(u'\\') + 1);
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(reinterpret_cast<const wchar_t*>(folder.c_str())));
  const std::uint32_t result = control_->StartServerProcess(SleeperFileName(), u"--report report.txt --life 60", 0, true, 1).Error();
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(result, static_cast<std::uint32_t>(ERROR_DIRECTORY)) << "the system refuses an empty working folder";
  EXPECT_FALSE(WaitForReport(folder + u"report.txt").has_value()) << "never started in the monitor's folder";
}

TEST_F(WindowsProcessControlTest, LetterCaseDoesNotMatter) {
  const Path server = PlaceCopy(u"srv");
  const Path upper = UpperAscii16(server);
  ASSERT_NE(upper, server);
  EXPECT_TRUE(control_->IsSameFile(server, upper));
  ASSERT_GT(ByHand(server, {"--life", "60"}), 0);
  EXPECT_TRUE(WaitFor([&] { return control_->IsServerRunning(upper); }));
  control_->TerminateServerProcess(upper);
  EXPECT_TRUE(WaitFor([&] { return !control_->IsServerRunning(server); }));
}

// A process of the server's file name that cannot be asked (another account's) is skipped, and
// only a system short of resources leaves the look unsure. A process found is kept: it is known
// even when it can no longer be asked, and while the process list is refused.
TEST_F(WindowsProcessControlTest, AProcessThatCannotBeAskedIsSkippedUnlessTheSystemIsShort) {
  const Path server = PlaceCopy(u"srv");
  const ProcessId stranger = ByHand(PlaceCopy(u"other"), {"--life", "60"});  // the same file name
  ASSERT_GT(stranger, 0);
  for (const std::uint32_t refusal : {ERROR_ACCESS_DENIED, ERROR_NO_SYSTEM_RESOURCES}) {
    const Look afterEnd = refusal == ERROR_ACCESS_DENIED ? Look::Absent() : Look::Unknown(refusal);
    ProcessId own = 0;  // refused too once found
    bool listRefused = false;
    ProcessControlOptions options;
    options.failOpenProcess = [&](std::uint32_t id) { return id == stranger || id == own ? refusal : 0u; };
    options.failLook = [&](LookCall call) { return listRefused && call == LookCall::ProcessList ? 24u : 0u; };
    const auto control = CreateProcessControl(options);
    const ProcessId started = ByHand(server, {"--life", "60"});
    ASSERT_EQ(WaitForProcesses(server, 1), std::vector<ProcessId>{started});
    EXPECT_EQ(control->LookForServer(server), Look::Running()) << refusal;
    own = started;
    listRefused = true;
    EXPECT_EQ(control->LookForServer(server), Look::Running()) << refusal << ": kept";
    listRefused = false;
    KillByHand(own);
    EXPECT_TRUE(WaitFor([&] { return control->LookForServer(server) == afterEnd; })) << refusal;
  }
}

TEST_F(WindowsProcessControlTest, PriorityClassAtTheStartAndLater) {
  const Path server = PlaceCopy(u"srv");
  struct Step {
    std::uint8_t code;
    DWORD priorityClass;
  };
  for (const Step& start : {Step{0, NORMAL_PRIORITY_CLASS}, Step{1, HIGH_PRIORITY_CLASS},
                            Step{2, REALTIME_PRIORITY_CLASS}, Step{9, REALTIME_PRIORITY_CLASS}}) {
    const ProcessId pid = Start(server, u"--life 60", start.code);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(PriorityClassOf(pid), start.priorityClass) << "started with " << int(start.code);
    End(server);
  }
  const ProcessId pid = Start(server, u"--life 60", 0);
  ASSERT_GT(pid, 0);
  for (const Step& step : {Step{1, HIGH_PRIORITY_CLASS}, Step{2, REALTIME_PRIORITY_CLASS},
                           Step{0, NORMAL_PRIORITY_CLASS}, Step{255, REALTIME_PRIORITY_CLASS}}) {
    control_->SetServerPriority(server, step.code);
    EXPECT_EQ(PriorityClassOf(pid), step.priorityClass) << "set to " << int(step.code);
  }
}

TEST_F(WindowsProcessControlTest, AffinityMaskAtTheStartAndLater) {
  const Path server = PlaceCopy(u"srv");
  const ProcessId pid = Start(server, u"--life 60", 0, true, 1);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(AffinityOf(pid), 1u);
  control_->SetServerAffinity(server, 0);
  EXPECT_EQ(AffinityOf(pid), 1u) << "a mask of 0 is refused and ignored";
  if ((SystemAffinity() & 2) == 0) GTEST_SKIP() << "one processor only";
  control_->SetServerAffinity(server, 2);
  EXPECT_EQ(AffinityOf(pid), 2u);
}

TEST_F(WindowsProcessControlTest, TheCommandLineIsTheQuotedPathABlankAndTheParameters) {
  const Path server = PlaceCopy(u"srv");
  const std::u16string params = u"--report ready.txt --life 60 -game cstrike +ip 127.0.0.1";
  ASSERT_EQ(control_->StartServerProcess(server, params, 0, true, 1).Error(), 0u);
  const auto report = WaitForReport(Folder(u"srv") + u"ready.txt");
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(Utf8ToUtf16(report->commandLine), BuildCommandLine(server, params));
}

TEST_F(WindowsProcessControlTest, ConsoleWindowShownOrHiddenAsAsked) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(Start(server, u"--console --decoy --life 60", 0, true), 0);
  WindowHandle console = windows_.FindServerConsoleWindow(server);
  ASSERT_NE(console, 0u);
  EXPECT_EQ(ClassOf(console), u"ConsoleWindowClass") << "not the window of a look-alike class";
  EXPECT_FALSE(IsWindowVisible(Hwnd(console))) << "started hidden";
  End(server);

  HWND before = GetForegroundWindow();
  ASSERT_GT(Start(server, u"--console --life 60", 0, false), 0);
  console = windows_.FindServerConsoleWindow(server);
  ASSERT_NE(console, 0u);
  EXPECT_TRUE(IsWindowVisible(Hwnd(console))) << "started shown";
  EXPECT_FALSE(windows_.IsIconic(console));
  EXPECT_EQ(GetForegroundWindow(), before) << "shown without taking the focus";
}

TEST_F(WindowsProcessControlTest, ConsoleWindowTitleAndShowState) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(Start(server, u"--console --life 60"), 0);
  const WindowHandle console = windows_.FindServerConsoleWindow(server);
  ASSERT_NE(console, 0u);

  windows_.SetWindowTitle(console, u"Server \u00c9t\u00e9 One");
  EXPECT_EQ(TitleOf(console), u"Server \u00c9t\u00e9 One");

  windows_.ShowWindow(console, kShowMinNoActivate);
  EXPECT_TRUE(WaitFor([&] { return windows_.IsIconic(console); }));
  windows_.ShowWindow(console, kShowHide);
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(Hwnd(console)); }));
  windows_.ShowWindow(console, kShowNoActivate);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(Hwnd(console)) != FALSE; }));
}

TEST_F(WindowsProcessControlTest, AProcessWithoutAConsoleWindowHasNone) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(Start(server, u"--decoy --life 60"), 0);
  EXPECT_TRUE(control_->IsServerRunning(server));
  EXPECT_EQ(windows_.FindServerConsoleWindow(server), 0u);
}

TEST_F(WindowsProcessControlTest, AnotherProcessesConsoleWindowIsNotTheServers) {
  const Path server = PlaceCopy(u"a");
  const Path other = PlaceCopy(u"b", u"other.exe");
  ASSERT_GT(Start(other, u"--console --life 60"), 0);
  ASSERT_GT(Start(server, u"--life 60"), 0);
  EXPECT_NE(windows_.FindServerConsoleWindow(other), 0u);
  EXPECT_EQ(windows_.FindServerConsoleWindow(server), 0u);
}

TEST_F(WindowsProcessControlTest, FatalErrorDialogFoundReadAndClosed) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(Start(server, u"--fatal --static \"Host_Error: no map\" --static second --life 60"), 0);
  const WindowHandle dialog = WaitForFatalErrorWindow();
  ASSERT_NE(dialog, 0u);
  EXPECT_TRUE(control_->IsSameFile(windows_.GetWindowProcessPath(dialog), server));
  EXPECT_EQ(windows_.ReadFatalErrorMessage(dialog), u"Host_Error: no map");
  windows_.CloseWindow(dialog);
  EXPECT_TRUE(WaitFor([&] { return windows_.FindFatalErrorWindow() == 0; }));
  EXPECT_TRUE(control_->IsServerRunning(server)) << "closing the dialog leaves the process";
}

TEST_F(WindowsProcessControlTest, FatalErrorMessageComesFromTheNextStaticWhenTheFirstIsEmpty) {
  const Path server = PlaceCopy(u"srv");
  struct Case {
    std::u16string statics;
    std::u16string message;
  };
  for (const Case& c : {Case{u"--empty-static --static second", u"second"},
                        Case{u"--empty-static --empty-static --static third", u""},
                        Case{u"", u""}}) {
    ASSERT_GT(Start(server, u"--fatal " + c.statics + u" --life 60"), 0);
    const WindowHandle dialog = WaitForFatalErrorWindow();
    ASSERT_NE(dialog, 0u);
    EXPECT_EQ(windows_.ReadFatalErrorMessage(dialog), c.message) << Utf16ToUtf8(c.statics);
    End(server);
    EXPECT_TRUE(WaitFor([&] { return windows_.FindFatalErrorWindow() == 0; }));
  }
}

TEST_F(WindowsProcessControlTest, ARealMessageBoxGivesItsText) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_EQ(control_->StartServerProcess(server, u"--messagebox \"Could not load map\" --life 60",
                                         0, true, 1).Error(),
            0u);
  const WindowHandle dialog = WaitForFatalErrorWindow();
  ASSERT_NE(dialog, 0u);
  EXPECT_EQ(windows_.ReadFatalErrorMessage(dialog), u"Could not load map");
  windows_.CloseWindow(dialog);
  EXPECT_TRUE(WaitFor([&] { return windows_.FindFatalErrorWindow() == 0; }));
}

TEST_F(WindowsProcessControlTest, AHungDialogDoesNotHangTheMonitor) {
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(Start(server, u"--fatal --static boom --hang --life 60"), 0);
  const WindowHandle dialog = WaitForFatalErrorWindow();
  ASSERT_NE(dialog, 0u);
  const auto start = std::chrono::steady_clock::now();
  windows_.ReadFatalErrorMessage(dialog);
  windows_.CloseWindow(dialog);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  control_->TerminateServerProcess(server);
  EXPECT_TRUE(WaitFor([&] { return windows_.FindFatalErrorWindow() == 0; }));
}

TEST_F(WindowsProcessControlTest, AWindowThatIsGoneHasNoProcessPathAndNoMessage) {
  EXPECT_EQ(windows_.GetWindowProcessPath(0), u"");
  EXPECT_EQ(windows_.ReadFatalErrorMessage(0), u"");
  const Path server = PlaceCopy(u"srv");
  ASSERT_GT(Start(server, u"--console --life 60"), 0);
  const WindowHandle console = windows_.FindServerConsoleWindow(server);
  ASSERT_NE(console, 0u);
  EXPECT_TRUE(control_->IsSameFile(windows_.GetWindowProcessPath(console), server));
  End(server);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(Hwnd(console)); }));
  EXPECT_EQ(windows_.GetWindowProcessPath(console), u"");
}

}  // namespace
}  // namespace tervane::testing
