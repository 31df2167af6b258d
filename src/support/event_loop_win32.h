// The Windows loop's hidden windows: how a platform half (the UDP endpoint) receives window
// messages on the loop's thread, and the hook for modeless dialogs and accelerators.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "support/event_loop.h"

namespace tervane {

// A message-only window of the calling thread (which must be the loop's thread). Messages the
// handler does not take (it answers false) go to DefWindowProcW. An exception leaving the
// handler is caught at the window procedure and raised again from the loop's Run or RunUntil,
// so that it never crosses the system's frames.
class HiddenWindow {
 public:
  using Handler = std::function<bool(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)>;
  HiddenWindow(EventLoop& loop, Handler handler);
  // May run inside the window's own handler; no later message reaches the handler.
  ~HiddenWindow();
  HiddenWindow(const HiddenWindow&) = delete;
  HiddenWindow& operator=(const HiddenWindow&) = delete;

  HWND Handle() const { return hwnd_; }

  struct State;

 private:
  std::shared_ptr<State> state_;
  HWND hwnd_ = nullptr;
};

// Called by Run and RunUntil for every message before it is translated and dispatched;
// answering true means the message has been handled (IsDialogMessageW, accelerators).
void SetMessageFilter(EventLoop& loop, std::function<bool(MSG& message)> filter);

}  // namespace tervane
