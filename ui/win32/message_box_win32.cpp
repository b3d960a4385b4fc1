#include "ui/win32/message_box_win32.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/win32/shown_text.h"
#include "ui/trace.h"

namespace kova::ui {
namespace {

// User32 has had it since Windows XP without declaring it in its headers.
using TMessageBoxTimeoutW = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT, WORD, DWORD);

TMessageBoxTimeoutW MessageBoxTimeoutFunction() {
  static const auto function = reinterpret_cast<TMessageBoxTimeoutW>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("user32.dll"), "MessageBoxTimeoutW")));
  return function;
}

// The caption of the box that the running time-out closes; the box is the dialog window of this
// thread with that caption.
const std::wstring* timedCaption = nullptr;

BOOL CALLBACK CloseTimedBox(HWND window, LPARAM) {
  char name[16] = {};
  wchar_t caption[256] = {};
  GetClassNameA(window, name, sizeof name);
  GetWindowTextW(window, caption, 256);
  if (std::strcmp(name, "#32770") != 0 || !timedCaption || *timedCaption != caption) return TRUE;
  // The box returns what it is ended with: the time-out result, as the system's own time-out
  // gives it.
  EndDialog(window, static_cast<INT_PTR>(TBoxResult::TimedOut));
  return FALSE;
}

void CALLBACK TimeOut(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  EnumThreadWindows(GetCurrentThreadId(), CloseTimedBox, 0);
}

HHOOK dialogHook = nullptr;
// Set while one of the launcher's own boxes is being made: the first dialog made then is that
// box. The boxes of this thread that are the launcher's own, innermost last.
bool ownBoxComing = false;
std::vector<HWND> ownBoxes;

bool IsDialog(HWND window) {
  char name[16] = {};
  return GetClassNameA(window, name, sizeof name) > 0 && std::strcmp(name, "#32770") == 0;
}

LRESULT CALLBACK DialogFilter(int code, WPARAM wParam, LPARAM lParam) {
  const auto window = reinterpret_cast<HWND>(wParam);
  if (code == HCBT_CREATEWND && ownBoxComing && IsDialog(window)) {
    ownBoxComing = false;
    ownBoxes.push_back(window);
  } else if (code == HCBT_ACTIVATE && IsDialog(window) &&
             std::find(ownBoxes.begin(), ownBoxes.end(), window) == ownBoxes.end()) {
    char caption[256] = {};
    GetWindowTextA(window, caption, sizeof caption);
    Trace(std::string("news: dialog closed: ") + caption);
    // Closing a dialog is its cancel; posted, so that it is made to the end first.
    PostMessageA(window, WM_CLOSE, 0, 0);
  } else if (code == HCBT_DESTROYWND) {
    ownBoxes.erase(std::remove(ownBoxes.begin(), ownBoxes.end(), window), ownBoxes.end());
  }
  return CallNextHookEx(dialogHook, code, wParam, lParam);
}

// Marks the dialog the enclosed call makes as the launcher's own.
template <typename TCall>
int AsOwnBox(TCall call) {
  ownBoxComing = true;
  const int answer = call();
  ownBoxComing = false;
  return answer;
}

}  // namespace

int OwnMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT style) {
  return AsOwnBox([&] {
    return MessageBoxW(owner, platform::ShownText(text).c_str(),
                       platform::ShownText(caption).c_str(), style);
  });
}

void InstallDialogCloser() {
  if (!dialogHook)
    dialogHook = SetWindowsHookExA(WH_CBT, DialogFilter, nullptr, GetCurrentThreadId());
}

void RemoveDialogCloser() {
  if (dialogHook) UnhookWindowsHookEx(dialogHook);
  dialogHook = nullptr;
}

TBoxResult RetryBox(HWND owner, const std::string& caption, const std::string& text,
                    int timeoutMs) {
  const UINT style = MB_RETRYCANCEL | MB_ICONERROR | (owner ? MB_APPLMODAL : MB_TASKMODAL);
  Trace("box: " + text);
  int answer = 0;
  if (timeoutMs > 0) {
    // Where the system's time-out is missing or does nothing (Wine's only logs that it is not
    // supported), a timer of this thread, served by the box's own loop, ends the box a moment
    // later with the same result.
    const std::wstring shownCaption = platform::ShownText(caption);
    timedCaption = &shownCaption;
    const UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(timeoutMs) + 250, TimeOut);
    answer = MessageBoxTimeoutFunction() ? AsOwnBox([&] {
      return MessageBoxTimeoutFunction()(owner, platform::ShownText(text).c_str(),
                                         shownCaption.c_str(), style, 0,
                                         static_cast<DWORD>(timeoutMs));
    })
                                         : OwnMessageBox(owner, text, caption, style);
    if (timer) KillTimer(nullptr, timer);
    timedCaption = nullptr;
  } else {
    answer = OwnMessageBox(owner, text, caption, style);
  }
  if (answer == static_cast<int>(TBoxResult::TimedOut)) return TBoxResult::TimedOut;
  return answer == IDRETRY ? TBoxResult::Retry : TBoxResult::Cancel;
}

void ErrorBox(HWND owner, const std::string& caption, const std::string& text) {
  Trace("box: " + text);
  OwnMessageBox(owner, text, caption, MB_OK | MB_ICONERROR);
}

}  // namespace kova::ui
