// The Windows loop's hidden windows: messages reach the handler on the loop's thread, a
// handler may destroy its own window, an exception comes out of the loop, and the message
// filter sees messages first.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <memory>
#include <stdexcept>

#include "support/event_loop.h"
#include "support/event_loop_win32.h"

namespace tervane {
namespace {

constexpr std::chrono::milliseconds kPatience(5000);
constexpr UINT kPing = WM_USER + 7;

TEST(HiddenWindow, HandlesItsMessagesAndLeavesTheRestToTheSystem) {
  EventLoop loop;
  int pings = 0;
  WPARAM last = 0;
  HiddenWindow window(loop, [&](UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    if (message != kPing) return false;
    ++pings;
    last = wParam;
    result = 42;
    return true;
  });
  ASSERT_NE(window.Handle(), nullptr);
  EXPECT_EQ(SendMessageW(window.Handle(), kPing, 1, 0), 42);
  PostMessageW(window.Handle(), kPing, 2, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return pings == 2; }, kPatience));
  EXPECT_EQ(last, 2u);
}

TEST(HiddenWindow, AHandlerMayDestroyItsOwnWindow) {
  EventLoop loop;
  std::unique_ptr<HiddenWindow> window;
  int pings = 0;
  window = std::make_unique<HiddenWindow>(loop, [&](UINT message, WPARAM, LPARAM, LRESULT&) {
    if (message != kPing) return false;
    ++pings;
    window.reset();
    return true;
  });
  HWND handle = window->Handle();
  PostMessageW(handle, kPing, 0, 0);
  PostMessageW(handle, kPing, 0, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return window == nullptr; }, kPatience));
  EXPECT_FALSE(loop.RunUntil([&] { return pings > 1; }, std::chrono::milliseconds(100)));
  EXPECT_EQ(pings, 1);
  EXPECT_FALSE(IsWindow(handle));
}

TEST(HiddenWindow, AnExceptionInAHandlerComesOutOfTheLoop) {
  EventLoop loop;
  HiddenWindow window(loop, [&](UINT message, WPARAM, LPARAM, LRESULT&) -> bool {
    if (message != kPing) return false;
    throw std::runtime_error("handler failed");
  });
  PostMessageW(window.Handle(), kPing, 0, 0);
  EXPECT_THROW(loop.RunUntil([] { return false; }, kPatience), std::runtime_error);
}

TEST(HiddenWindow, TheMessageFilterSeesMessagesFirst) {
  EventLoop loop;
  int handled = 0;
  int filtered = 0;
  HiddenWindow window(loop, [&](UINT message, WPARAM, LPARAM, LRESULT&) {
    if (message != kPing) return false;
    ++handled;
    return true;
  });
  SetMessageFilter(loop, [&](MSG& message) {
    if (message.message != kPing || message.wParam != 1) return false;
    ++filtered;
    return true;
  });
  PostMessageW(window.Handle(), kPing, 1, 0);
  PostMessageW(window.Handle(), kPing, 2, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return filtered == 1 && handled == 1; }, kPatience));
}

}  // namespace
}  // namespace tervane
