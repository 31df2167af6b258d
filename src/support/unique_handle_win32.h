// The Win32 kinds of owned handle: kernel objects, the service manager's handles, menus, icons
// and sockets. Only files named *_win32.* include this.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>

#include "support/unique_handle.h"

namespace tervane {

// Kernel objects (processes, threads, snapshots, files, events): the calls that make them
// answer either NULL or INVALID_HANDLE_VALUE for none, depending on the call.
struct KernelHandleTraits {
  using Value = HANDLE;
  static HANDLE None() { return nullptr; }
  static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static SC_HANDLE None() { return nullptr; }
  static bool IsValid(SC_HANDLE h) { return h != nullptr; }
  static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};

// A menu of its own (a loaded resource or a made pop-up). A submenu belongs to its parent and
// goes with it; it is never held in one of these.
struct MenuTraits {
  using Value = HMENU;
  static HMENU None() { return nullptr; }
  static bool IsValid(HMENU h) { return h != nullptr; }
  static void Close(HMENU h) { ::DestroyMenu(h); }
};

// An icon made by LoadImage without LR_SHARED, or by CreateIcon*.
struct IconTraits {
  using Value = HICON;
  static HICON None() { return nullptr; }
  static bool IsValid(HICON h) { return h != nullptr; }
  static void Close(HICON h) { ::DestroyIcon(h); }
};

struct SocketTraits {
  using Value = SOCKET;
  static SOCKET None() { return INVALID_SOCKET; }
  static bool IsValid(SOCKET s) { return s != INVALID_SOCKET; }
  static void Close(SOCKET s) { ::closesocket(s); }
};

// The socket library held open for an owner's life (the library counts its starts). Declared
// before the sockets it serves, so that it ends after them.
class WinsockSession {
 public:
  explicit WinsockSession(WORD version = MAKEWORD(2, 2)) {
    WSADATA data;
    started_ = WSAStartup(version, &data) == 0;
  }
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  [[nodiscard]] bool Started() const { return started_; }

 private:
  bool started_ = false;
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;
using UniqueMenu = UniqueHandle<MenuTraits>;
using UniqueIcon = UniqueHandle<IconTraits>;
using UniqueSocket = UniqueHandle<SocketTraits>;

}  // namespace tervane
