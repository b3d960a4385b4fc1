#include "ui/win32/message_box_win32.h"

#include <cstring>

#include "ui/trace.h"

namespace kova::ui {
namespace {

// User32 has had it since Windows XP without declaring it in its headers.
using TMessageBoxTimeoutA = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT, WORD, DWORD);

TMessageBoxTimeoutA MessageBoxTimeoutFunction() {
  static const auto function = reinterpret_cast<TMessageBoxTimeoutA>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("user32.dll"), "MessageBoxTimeoutA")));
  return function;
}

// The caption of the box that the running time-out closes; the box is the dialog window of this
// thread with that caption.
const std::string* timedCaption = nullptr;

BOOL CALLBACK CloseTimedBox(HWND window, LPARAM) {
  char name[16] = {}, caption[256] = {};
  GetClassNameA(window, name, sizeof name);
  GetWindowTextA(window, caption, sizeof caption);
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

}  // namespace

TBoxResult RetryBox(HWND owner, const std::string& caption, const std::string& text,
                    int timeoutMs) {
  const UINT style = MB_RETRYCANCEL | MB_ICONERROR | (owner ? MB_APPLMODAL : MB_TASKMODAL);
  Trace("box: " + text);
  int answer = 0;
  if (timeoutMs > 0) {
    // Where the system's time-out is missing or does nothing (Wine's only logs that it is not
    // supported), a timer of this thread, served by the box's own loop, ends the box a moment
    // later with the same result.
    timedCaption = &caption;
    const UINT_PTR timer = SetTimer(nullptr, 0, static_cast<UINT>(timeoutMs) + 250, TimeOut);
    answer = MessageBoxTimeoutFunction()
                 ? MessageBoxTimeoutFunction()(owner, text.c_str(), caption.c_str(), style, 0,
                                               static_cast<DWORD>(timeoutMs))
                 : MessageBoxA(owner, text.c_str(), caption.c_str(), style);
    if (timer) KillTimer(nullptr, timer);
    timedCaption = nullptr;
  } else {
    answer = MessageBoxA(owner, text.c_str(), caption.c_str(), style);
  }
  if (answer == static_cast<int>(TBoxResult::TimedOut)) return TBoxResult::TimedOut;
  return answer == IDRETRY ? TBoxResult::Retry : TBoxResult::Cancel;
}

void ErrorBox(HWND owner, const std::string& caption, const std::string& text) {
  Trace("box: " + text);
  MessageBoxA(owner, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace kova::ui
