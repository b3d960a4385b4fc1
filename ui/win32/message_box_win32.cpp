#include "ui/win32/message_box_win32.h"

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

}  // namespace

TBoxResult RetryBox(HWND owner, const std::string& caption, const std::string& text,
                    int timeoutMs) {
  const UINT style = MB_RETRYCANCEL | MB_ICONERROR | (owner ? MB_APPLMODAL : MB_TASKMODAL);
  Trace("box: " + text);
  int answer = 0;
  if (timeoutMs > 0 && MessageBoxTimeoutFunction()) {
    answer = MessageBoxTimeoutFunction()(owner, text.c_str(), caption.c_str(), style, 0,
                                         static_cast<DWORD>(timeoutMs));
  } else {
    answer = MessageBoxA(owner, text.c_str(), caption.c_str(), style);
  }
  if (answer == static_cast<int>(TBoxResult::TimedOut)) return TBoxResult::TimedOut;
  return answer == IDRETRY ? TBoxResult::Retry : TBoxResult::Cancel;
}

}  // namespace kova::ui
