// The stand-in's windows as another process sees them: its console window, an ordinary
// top-level window of class "ConsoleWindowClass", and the fatal-error dialog with its message in
// a "Static" child, read and closed the way the watchdog does it.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/query.h"
#include "running_server.h"

namespace tervane::fakesrv::test {
namespace {

const Bytes kInfo(InfoQuery.begin(), InfoQuery.end());
constexpr char kFatalCaption[] = "Fatal error - Dedicated server";

// Windows under Wine need an X display; on Windows itself there always is a desktop.
bool NoDisplay() { return UnderWine() && GetEnvironmentVariableA("DISPLAY", nullptr, 0) == 0; }

#define SKIP_WITHOUT_DISPLAY() \
  if (NoDisplay()) GTEST_SKIP() << "no X display for Wine's windows"

template <typename F>
bool WaitFor(F condition, int timeoutMs = kStartMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    SleepMs(20);
  }
}

// The top-level window of class "ConsoleWindowClass" owned by `pid`, as the watchdog finds it.
HWND ConsoleWindowOf(DWORD pid) {
  for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner != pid) continue;
    wchar_t name[64] = {};
    GetClassNameW(w, name, 64);
    if (std::wstring(name) == L"ConsoleWindowClass") return w;
  }
  return nullptr;
}

std::wstring TextOf(HWND window) {
  const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(length + 1),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// The dialog's message: the first "Static" child, or the next one when the first is empty.
std::wstring FatalMessage(HWND dialog) {
  HWND child = FindWindowExA(dialog, nullptr, "Static", nullptr);
  if (child && GetWindowTextLengthW(child) == 0)
    child = FindWindowExA(dialog, child, "Static", nullptr);
  return child ? TextOf(child) : std::wstring();
}

DWORD OwnerOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

TEST(FakesrvWindows, TheConsoleWindowIsAnOrdinaryTopLevelWindow) {
  SKIP_WITHOUT_DISPLAY();
  RunningServer server({});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  const DWORD pid = server.process().pid();
  HWND console = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (console = ConsoleWindowOf(pid)) != nullptr; }));

  EXPECT_EQ(GetWindow(console, GW_OWNER), nullptr);
  EXPECT_EQ(GetParent(console), nullptr);
  EXPECT_TRUE(GetWindowLongW(console, GWL_STYLE) & WS_CAPTION);
  EXPECT_TRUE(IsWindowVisible(console));
  // First titled with the program's path.
  const std::wstring title = TextOf(console);
  ASSERT_GE(title.size(), 11u);
  EXPECT_EQ(_wcsicmp(title.c_str() + title.size() - 11, L"fakesrv.exe"), 0)
      << std::string(title.begin(), title.end());

  // Retitled, hidden, shown minimised and restored by another process.
  EXPECT_TRUE(SetWindowTextW(console, L"CS 1.6 public"));
  EXPECT_EQ(TextOf(console), L"CS 1.6 public");
  ShowWindow(console, SW_HIDE);
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(console); }, kReplyMs));
  ShowWindow(console, SW_SHOWMINNOACTIVE);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(console) && IsIconic(console); }, kReplyMs));
  ShowWindow(console, SW_SHOWNOACTIVATE);
  ShowWindow(console, SW_RESTORE);
  EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(console) && !IsIconic(console); }, kReplyMs));

  UdpClient client;
  EXPECT_TRUE(server.Ask(client, kInfo));
}

TEST(FakesrvWindows, StartedHiddenItsConsoleStaysHidden) {
  SKIP_WITHOUT_DISPLAY();
  RunningServer server({}, StartOptions{.hidden = true});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  HWND console = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (console = ConsoleWindowOf(server.process().pid())); }));
  EXPECT_FALSE(IsWindowVisible(console));
}

TEST(FakesrvWindows, WithoutAConsoleThereIsNoConsoleWindow) {
  SKIP_WITHOUT_DISPLAY();
  RunningServer server({"-fakesrv.noconsole"});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  EXPECT_EQ(ConsoleWindowOf(server.process().pid()), nullptr);
}

TEST(FakesrvWindows, TheFatalErrorDialogIsReadClosedAndTheServerHangs) {
  SKIP_WITHOUT_DISPLAY();
  RunningServer server({});
  ASSERT_TRUE(server.WaitReady()) << server.Output();
  const DWORD pid = server.process().pid();
  EXPECT_EQ(server.Command("fakesrv fatal Could not load map de_nowhere"), "fakesrv ok");

  HWND dialog = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (dialog = FindWindowA(nullptr, kFatalCaption)) != nullptr; }))
      << server.Output();
  EXPECT_EQ(OwnerOf(dialog), pid);
  EXPECT_EQ(FatalMessage(dialog), L"Could not load map de_nowhere");

  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); }, kReplyMs));
  // The crashed server stays until it is ended, and answers no query.
  UdpClient client;
  EXPECT_FALSE(server.Ask(client, kInfo, kSilenceMs));
  EXPECT_TRUE(server.process().Running());
  EXPECT_NE(server.Command("fakesrv status").find("crashed=1"), std::string::npos);
  EXPECT_EQ(server.Command("fakesrv fatal again"), "fakesrv error already crashed");
  EXPECT_EQ(FindWindowA(nullptr, kFatalCaption), nullptr);
  EXPECT_TRUE(server.process().Running());
}

TEST(FakesrvWindows, AFatalErrorAfterTheStart) {
  SKIP_WITHOUT_DISPLAY();
  RunningServer server({"-fakesrv.fatal", "Host_Error: PF_precache_model_I", "-fakesrv.fatal-after",
                        "200"});
  HWND dialog = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    dialog = FindWindowA(nullptr, kFatalCaption);
    return dialog && OwnerOf(dialog) == server.process().pid();
  })) << server.Output();
  EXPECT_EQ(FatalMessage(dialog), L"Host_Error: PF_precache_model_I");
  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(dialog); }, kReplyMs));
  EXPECT_TRUE(server.process().Running());
}

}  // namespace
}  // namespace tervane::fakesrv::test
