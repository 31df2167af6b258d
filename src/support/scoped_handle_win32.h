// One owning wrapper for every kind of Win32 handle: the handle is closed exactly once, by the
// call its kind needs, when the wrapper goes. A kind is a traits type with the handle type, the
// values that mean "none" and the closing call. Only files named *_win32.* include this.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>

#include <utility>

namespace tervane {

template <typename Traits>
class ScopedHandle {
 public:
  using handle_type = typename Traits::handle_type;

  ScopedHandle() = default;
  explicit ScopedHandle(handle_type handle) : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  [[nodiscard]] bool valid() const { return Traits::IsValid(handle_); }
  explicit operator bool() const { return valid(); }
  [[nodiscard]] handle_type get() const { return handle_; }

  // Closes the handle held and takes the new one.
  void reset(handle_type handle = Traits::None()) {
    Close();
    handle_ = handle;
  }
  // Gives the handle up without closing it.
  [[nodiscard]] handle_type release() { return std::exchange(handle_, Traits::None()); }

 private:
  void Close() {
    if (Traits::IsValid(handle_)) Traits::Close(handle_);
    handle_ = Traits::None();
  }

  handle_type handle_ = Traits::None();
};

// Kernel objects (processes, threads, snapshots, files, events): the calls that make them
// answer either NULL or INVALID_HANDLE_VALUE for none, depending on the call.
struct KernelHandleTraits {
  using handle_type = HANDLE;
  static HANDLE None() { return nullptr; }
  static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
  using handle_type = SC_HANDLE;
  static SC_HANDLE None() { return nullptr; }
  static bool IsValid(SC_HANDLE h) { return h != nullptr; }
  static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};

// A menu of its own (a loaded resource or a made pop-up). A submenu belongs to its parent and
// goes with it; it is never held in one of these.
struct MenuHandleTraits {
  using handle_type = HMENU;
  static HMENU None() { return nullptr; }
  static bool IsValid(HMENU h) { return h != nullptr; }
  static void Close(HMENU h) { ::DestroyMenu(h); }
};

// An icon made by LoadImage without LR_SHARED, or by CreateIcon*.
struct IconHandleTraits {
  using handle_type = HICON;
  static HICON None() { return nullptr; }
  static bool IsValid(HICON h) { return h != nullptr; }
  static void Close(HICON h) { ::DestroyIcon(h); }
};

struct SocketHandleTraits {
  using handle_type = SOCKET;
  static SOCKET None() { return INVALID_SOCKET; }
  static bool IsValid(SOCKET s) { return s != INVALID_SOCKET; }
  static void Close(SOCKET s) { ::closesocket(s); }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedMenu = ScopedHandle<MenuHandleTraits>;
using ScopedIcon = ScopedHandle<IconHandleTraits>;
using ScopedSocket = ScopedHandle<SocketHandleTraits>;

}  // namespace tervane
