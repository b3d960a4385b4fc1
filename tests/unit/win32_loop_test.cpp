// The Windows message loop and the window's dialog handling, run under Wine: what the loop does
// with calls that fail, messages it gives a filter first, and which dialogs the news page's
// closer leaves open.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/main_loop.h"
#include "platform/win32/message_filter.h"
#include "ui/win32/message_box_win32.h"

namespace kova::test {
namespace {

// A plain loop, as a modal box runs it: it only dispatches what the queue holds.
void DispatchQueued() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

TEST(Win32Loop, AQueuedCallThatThrowsEndsAloneAndLaterCallsRunInALoopThatIsNotOurs) {
  platform::ServePendingMessages();  // makes the queue's window
  std::vector<int> ran;
  platform::PostToGuiThread([&] {
    ran.push_back(1);
    throw std::runtime_error("failed");
  });
  platform::PostToGuiThread([&] { ran.push_back(2); });
  DispatchQueued();
  platform::PostToGuiThread([&] { ran.push_back(3); });
  DispatchQueued();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

std::vector<WPARAM> dispatchedKeys;

LRESULT CALLBACK KeyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_KEYDOWN) dispatchedKeys.push_back(wParam);
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST(Win32Loop, AKeyTheFilterTakesIsNotDispatchedAndOthersAre) {
  WNDCLASSA cls{};
  cls.lpfnWndProc = KeyWindowProc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = "KovaKeyTest";
  RegisterClassA(&cls);
  HWND window = CreateWindowExA(0, cls.lpszClassName, "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                cls.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  static std::vector<WPARAM> filtered;
  platform::SetMessageFilter([](MSG& message) {
    if (message.message != WM_KEYDOWN) return false;
    filtered.push_back(message.wParam);
    return message.wParam == 'A';
  });
  PostMessageA(window, WM_KEYDOWN, 'A', 0);
  PostMessageA(window, WM_KEYDOWN, 'B', 0);
  platform::ServePendingMessages();
  platform::SetMessageFilter(nullptr);
  PostMessageA(window, WM_KEYDOWN, 'C', 0);
  platform::ServePendingMessages();
  DestroyWindow(window);
  EXPECT_EQ(filtered, (std::vector<WPARAM>{'A', 'B'}));
  EXPECT_EQ(dispatchedKeys, (std::vector<WPARAM>{'B', 'C'}));
}

// Ends this thread's dialog boxes with 77, a result no box gives by itself: a box that returns
// it was still open when the timer came.
BOOL CALLBACK EndDialogWith77(HWND window, LPARAM) {
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") == 0) EndDialog(window, 77);
  return TRUE;
}

void CALLBACK EndDialogs(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  EnumThreadWindows(GetCurrentThreadId(), EndDialogWith77, 0);
}

TEST(Win32Dialogs, WhileTheNewsControlLivesAForeignDialogIsClosedAtOnceAndTheLaunchersOwnStays) {
  ui::InstallDialogCloser();
  // What the control would open for its page: closed when it comes up, before the timer.
  const UINT_PTR first = SetTimer(nullptr, 0, 5000, EndDialogs);
  const int foreign = MessageBoxA(nullptr, "Enter your password", "Log in", MB_OKCANCEL);
  KillTimer(nullptr, first);
  EXPECT_EQ(foreign, IDCANCEL);
  // The launcher's own box waits for its answer; here the timer gives it.
  SetTimer(nullptr, 0, 300, EndDialogs);
  EXPECT_EQ(ui::OwnMessageBox(nullptr, "Cannot start game.exe", "Launcher", MB_OK), 77);
  ui::RemoveDialogCloser();
  // Without the closer nothing is closed.
  SetTimer(nullptr, 0, 300, EndDialogs);
  EXPECT_EQ(MessageBoxA(nullptr, "Enter your password", "Log in", MB_OKCANCEL), 77);
}

}  // namespace
}  // namespace kova::test
