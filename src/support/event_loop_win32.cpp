// The Windows loop: the thread's message queue. Timers are window timers of a message-only
// window that the loop owns, socket news arrives as messages to the endpoint's own hidden
// window, and Run is the GetMessage loop. Modal loops (message boxes, dialogs) keep serving
// both, as they do for any window of the thread.
#include "support/event_loop_win32.h"

#include <exception>
#include <map>
#include <stdexcept>

namespace tervane {

namespace {
// Asks the loop's thread to post its quit message; used when Quit comes from another thread.
constexpr UINT kQuitRequest = WM_APP + 1;
// Tells the loop's thread that tasks were posted.
constexpr UINT kRunPosted = WM_APP + 2;
constexpr wchar_t kHiddenWindowClass[] = L"TervaneHiddenWindow";
}  // namespace

struct EventLoop::Impl {
  DWORD threadId = 0;
  std::unique_ptr<HiddenWindow> window;
  std::map<std::uintptr_t, Timer*> timers;
  std::uintptr_t nextTimerId = 0;
  bool quitPending = false;  // a WM_QUIT taken by RunUntil, for Run to answer
  int quitCode = 0;
  std::exception_ptr pendingException;
  std::function<bool(MSG&)> filter;
  std::function<void()> runPosted;

  void Dispatch(MSG& message);
  bool HandleLoopMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
};

struct HiddenWindow::State : std::enable_shared_from_this<HiddenWindow::State> {
  EventLoop* loop = nullptr;
  Handler handler;
};

namespace {

LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* raw = reinterpret_cast<HiddenWindow::State*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (raw == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  // The handler may destroy the window and its owner; the state lives until it returns.
  std::shared_ptr<HiddenWindow::State> state = raw->shared_from_this();
  LRESULT result = 0;
  bool handled = false;
  try {
    handled = state->handler(message, wParam, lParam, result);
  } catch (...) {
    EventLoop::Impl& impl = state->loop->impl();
    if (!impl.pendingException) impl.pendingException = std::current_exception();
    return 0;
  }
  return handled ? result : DefWindowProcW(hwnd, message, wParam, lParam);
}

ATOM RegisterHiddenWindowClass() {
  static const ATOM atom = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = HiddenWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kHiddenWindowClass;
    return RegisterClassExW(&wc);
  }();
  return atom;
}

}  // namespace

HiddenWindow::HiddenWindow(EventLoop& loop, Handler handler) : state_(std::make_shared<State>()) {
  state_->loop = &loop;
  state_->handler = std::move(handler);
  RegisterHiddenWindowClass();
  hwnd_ = CreateWindowExW(0, kHiddenWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                          GetModuleHandleW(nullptr), nullptr);
  if (hwnd_ == nullptr) throw std::runtime_error("hidden window: CreateWindowExW failed");
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state_.get()));
}

HiddenWindow::~HiddenWindow() {
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  DestroyWindow(hwnd_);
}

void SetMessageFilter(EventLoop& loop, std::function<bool(MSG& message)> filter) {
  loop.impl().filter = std::move(filter);
}

EventLoop::EventLoop() : posted_(std::make_unique<PostQueue>()), impl_(std::make_unique<Impl>()) {
  impl_->threadId = GetCurrentThreadId();
  Impl* impl = impl_.get();
  impl_->window = std::make_unique<HiddenWindow>(
      *this, [impl](UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        return impl->HandleLoopMessage(message, wParam, lParam, result);
      });
  impl_->runPosted = [this] { RunPosted(); };
}

EventLoop::~EventLoop() {
  for (const auto& [id, timer] : impl_->timers) KillTimer(impl_->window->Handle(), id);
}

bool EventLoop::Impl::HandleLoopMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
  result = 0;
  if (message == WM_TIMER) {
    auto found = timers.find(static_cast<std::uintptr_t>(wParam));
    // A tick of a timer destroyed meanwhile finds nothing and is dropped.
    if (found != timers.end()) found->second->Fire();
    return true;
  }
  if (message == kRunPosted) {
    if (runPosted) runPosted();
    return true;
  }
  if (message == kQuitRequest) {
    PostQuitMessage(static_cast<int>(wParam));
    return true;
  }
  return false;
}

void EventLoop::Impl::Dispatch(MSG& message) {
  if (!(filter && filter(message))) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (pendingException) {
    std::exception_ptr failure = pendingException;
    pendingException = nullptr;
    std::rethrow_exception(failure);
  }
}

int EventLoop::Run() {
  if (impl_->quitPending) {
    impl_->quitPending = false;
    return impl_->quitCode;
  }
  MSG message;
  for (;;) {
    BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(message.wParam);
    if (got == -1) return -1;
    impl_->Dispatch(message);
    if (impl_->quitPending) {  // taken by a RunUntil inside a handler
      impl_->quitPending = false;
      return impl_->quitCode;
    }
  }
}

void EventLoop::Quit(int code) {
  if (GetCurrentThreadId() == impl_->threadId) {
    PostQuitMessage(code);
  } else {
    PostMessageW(impl_->window->Handle(), kQuitRequest, static_cast<WPARAM>(code), 0);
  }
}

void EventLoop::Wake() { PostMessageW(impl_->window->Handle(), kRunPosted, 0, 0); }

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (impl_->quitPending) return done();
    Clock::time_point now = Clock::now();
    if (now >= deadline) return done();
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    DWORD wait = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(ms);
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // Kept for Run, which ends at once with this code.
        impl_->quitPending = true;
        impl_->quitCode = static_cast<int>(message.wParam);
        return done();
      }
      impl_->Dispatch(message);
      if (done()) return true;
      if (Clock::now() >= deadline) return done();
    }
  }
}

Timer::Timer(EventLoop& loop) : loop_(loop) {
  EventLoop::Impl& impl = loop_.impl();
  id_ = ++impl.nextTimerId;
  impl.timers[id_] = this;
}

Timer::~Timer() {
  EventLoop::Impl& impl = loop_.impl();
  KillTimer(impl.window->Handle(), id_);
  impl.timers.erase(id_);
}

void Timer::Rearm() {
  HWND window = loop_.impl().window->Handle();
  if (enabled_ && interval_ > 0) {
    SetTimer(window, id_, interval_, nullptr);  // replaces a running one: the count starts anew
  } else {
    KillTimer(window, id_);
  }
}

}  // namespace tervane
