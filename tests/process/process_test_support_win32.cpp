#include <windows.h>
#include <tlhelp32.h>

#include "process_test_support.h"
#include "support/text.h"
#include "support/text_win32.h"
#include "support/unique_handle_win32.h"

namespace tervane::testing {
namespace {

bool Identity(const std::u16string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const UniqueKernelHandle file(CreateFileW(W(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && GetFileInformationByHandle(file.get(), &info) != FALSE;
}

}  // namespace

ProcessId StartByHand(const Path& exe, const std::vector<std::string>& args) {
  std::u16string line = u"\"" + exe + u"\"";
  for (const std::string& arg : args) line += u" \"" + Utf8ToUtf16(arg) + u"\"";
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &created)) {
    return -1;
  }
  const UniqueKernelHandle thread(created.hThread);
  const UniqueKernelHandle process(created.hProcess);
  return created.dwProcessId;
}

bool IsProcessAlive(ProcessId id) {
  const UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id)));
  DWORD code = 0;
  return process && GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
}

void KillByHand(ProcessId id) {
  const UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
  if (!process) return;
  TerminateProcess(process.get(), 1);
  WaitForSingleObject(process.get(), 10000);
}

std::vector<ProcessId> ProcessListOrder() {
  std::vector<ProcessId> ids;
  const UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
    ids.push_back(entry.th32ProcessID);
  return ids;
}

// Looked up through the process's image name, not through its modules as the program does.
std::vector<ProcessId> ProcessesOf(const Path& exe) {
  std::vector<ProcessId> found;
  BY_HANDLE_FILE_INFORMATION want{};
  if (!Identity(exe, want)) return found;
  for (ProcessId id : ProcessListOrder()) {
    const UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id)));
    if (!process) continue;
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    DWORD code = 0;
    const bool alive = GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE;
    const bool named = QueryFullProcessImageNameW(process.get(), 0, image, &size) != FALSE;
    BY_HANDLE_FILE_INFORMATION have{};
    if (alive && named && Identity(U(image), have) &&
        have.dwVolumeSerialNumber == want.dwVolumeSerialNumber &&
        have.nFileIndexHigh == want.nFileIndexHigh && have.nFileIndexLow == want.nFileIndexLow) {
      found.push_back(id);
    }
  }
  return found;
}

std::u16string SleeperFileName() { return u"sleeper.exe"; }

}  // namespace tervane::testing
