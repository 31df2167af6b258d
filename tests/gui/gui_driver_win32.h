// Driving kesp.exe from another process, as an operator would: a scratch folder holding the
// program, its serverlist.dat and stand-in servers (each in a folder of its own with its own
// copy of the stand-in), the program started with short timings, and its windows read and
// worked through window messages, cross-process list-view calls and real mouse input.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/list_view.h"
#include "core/server_entry.h"
#include "core/server_list.h"
#include "process/process_control.h"
#include "support/unique_handle_win32.h"
#include "ui/rows.h"

namespace tervane::gui {

using namespace std::chrono_literals;

// Polls every 20 ms until the condition holds or the time is up; answers the last answer.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// A UDP port that was free on 127.0.0.1 a moment ago.
int FreeUdpPort();

std::u16string WindowText(HWND window);
std::string Narrow(const std::u16string& text);

// The visible top-level windows of a process with a class name (and a caption, when given);
// with visibleOnly false the hidden ones too.
std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t* className, const wchar_t* caption = nullptr,
                                  bool visibleOnly = true);

// A folder with kesp.exe, serverlist.dat and the stand-in servers; ends every process of the
// folder's executables and removes the folder when destroyed.
class Scene {
 public:
  // The folder is made in the temporary folder, or under `parent` when one is given; kesp.exe is
  // copied into it unless the folder holds its own already (copyProgram false).
  explicit Scene(const std::filesystem::path& parent = {}, bool copyProgram = true);
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // A server in its own folder with its own copy of the stand-in; its parameters carry
  // "+ip 127.0.0.1" and a free port.
  ServerEntry& AddServer(const std::string& name, bool paused = false);
  std::vector<std::unique_ptr<ServerEntry>>& Servers() { return servers_; }
  // The boss-key bytes SaveList writes after the records.
  BossKeyOptions& BossKey() { return bossKey_; }
  // The three boss-key bytes stored now, when the file holds them.
  std::optional<BossKeyOptions> StoredBossKey() const;
  // The program's language files (the ones built beside kesp.exe), or only those named.
  void CopyLanguages(const std::vector<std::string>& names = {});
  std::filesystem::path LanguagesDir() const { return dir_ / "Languages"; }
  // A stand-in copy in a new folder that no server uses yet.
  std::filesystem::path SpareExecutable(const std::string& folder);
  void SaveList();
  // The records of serverlist.dat as stored, byte for byte.
  std::vector<ServerEntry> ReadList() const;
  std::vector<std::uint8_t> ListBytes() const;

  // Starts kesp.exe with the cycle time given (from another current folder, so that the
  // program must find its files beside itself) and waits for its main window: a visible one,
  // or with shown false one that exists (a program that starts boss-hidden).
  bool StartKesp(int cycleMs = 300, bool shown = true);
  // Starts another kesp.exe of the same folder; answers its process handle.
  HANDLE StartSecondKesp();
  HWND MainWindow() const { return main_; }
  DWORD KespProcessId() const { return pid_; }
  // The exit code once kesp.exe has ended within the time.
  std::optional<DWORD> WaitKespExit(std::chrono::milliseconds limit);

  IProcessControl& Process() { return *process_; }
  bool ServerRunning(const ServerEntry& e) { return process_->IsServerRunning(e.FileName.str()); }
  DWORD ServerProcessId(const ServerEntry& e);
  HWND ConsoleWindow(const ServerEntry& e);

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path ListPath() const { return dir_ / "serverlist.dat"; }

 private:
  void KillAll();

  std::filesystem::path dir_;
  std::vector<std::unique_ptr<ServerEntry>> servers_;
  std::vector<std::filesystem::path> executables_;
  BossKeyOptions bossKey_;
  std::unique_ptr<IProcessControl> process_;
  UniqueKernelHandle kesp_;
  DWORD pid_ = 0;
  HWND main_ = nullptr;
  std::vector<UniqueKernelHandle> others_;
};

// Memory in another process, for the list-view and status-bar messages that take pointers.
class RemoteBuffer {
 public:
  RemoteBuffer(DWORD processId, std::size_t size);
  ~RemoteBuffer();
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;

  void* Address() const { return remote_; }
  bool Write(const void* data, std::size_t size, std::size_t offset = 0);
  bool Read(void* data, std::size_t size, std::size_t offset = 0) const;

 private:
  UniqueKernelHandle process_;
  void* remote_ = nullptr;
};

// kesp's server list view LV, read and selected from outside.
class RemoteListView {
 public:
  explicit RemoteListView(HWND mainWindow);

  HWND Handle() const { return lv_; }
  int RowCount() const;
  std::u16string Cell(int row, int column) const;
  RowTexts Row(int row) const;
  std::vector<std::u16string> Column(int column) const;
  bool IsSelected(int row) const;
  int SelectedCount() const;
  // Selects exactly these rows.
  void Select(const std::vector<int>& rows) const;
  // The row's rectangle in screen coordinates.
  RECT RowRect(int row) const;
  std::u16string ColumnCaption(int column) const;
  int ColumnWidth(int column) const;

 private:
  HWND lv_;
  DWORD pid_ = 0;
};

// kesp's main window: commands, the status bar and the log memo.
class MainWindow {
 public:
  explicit MainWindow(HWND hwnd);
  HWND Handle() const { return hwnd_; }
  // A command that opens nothing modal: answers once it has been handled.
  bool Command(int id) const;
  // A command that may open a box or a dialog: only posted.
  void PostCommand(int id) const;
  std::u16string StatusText() const;
  std::u16string LogText() const;
  RemoteListView View() const { return RemoteListView(hwnd_); }

 private:
  HWND hwnd_;
  DWORD pid_ = 0;
};

// A message box "Tervane" owned by a window, waited for.
struct MessageBoxWindow {
  HWND hwnd = nullptr;
  std::u16string Text() const;
  // Presses a button (IDYES, IDNO, IDOK) and waits until the box is gone.
  bool Press(int button) const;
};
std::optional<MessageBoxWindow> WaitForMessageBox(DWORD processId, HWND owner,
                                                  std::chrono::milliseconds limit = 10s);
// No box of that owner appears within the time.
bool NoMessageBoxFor(DWORD processId, HWND owner, std::chrono::milliseconds time);

// A visible dialog (#32770) of the process with that caption.
HWND WaitForDialog(DWORD processId, const wchar_t* caption, std::chrono::milliseconds limit = 10s);
bool WaitDialogGone(HWND dialog, std::chrono::milliseconds limit = 10s);
void PostClick(HWND dialog, int controlId);

// The notification-area icon of a window: whether the shell holds it now, asked as any program
// may (a change of nothing succeeds only for an icon that is there).
bool TrayIconShown(HWND owner);
// What the shell sends the owner for a mouse message on its icon.
void PostTrayMouse(HWND owner, UINT mouseMessage);

// Real keyboard input: a key with modifiers (MOD_ALT, MOD_CONTROL, MOD_SHIFT) pressed and
// released, as a hot key is typed.
void PressKey(WORD virtualKey, UINT modifiers = 0);

// Real mouse input: a left-button drag from one screen point to another in small steps.
void MouseDrag(POINT from, POINT to);
// Brings a window of another process to the front (foreground changes are not always granted).
void BringToFront(HWND window);

}  // namespace tervane::gui
