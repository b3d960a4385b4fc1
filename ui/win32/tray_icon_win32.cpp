#include "ui/win32/tray_icon_win32.h"

#include <algorithm>
#include <cstring>

#include "core/startup.h"
#include "platform/win32/shown_text.h"
#include "support/translation.h"
#include "ui/form_rules.h"
#include "ui/trace.h"
#include "ui/win32/message_box_win32.h"

namespace kova::ui {
namespace {

template <std::size_t N>
void CopyText(wchar_t (&to)[N], const std::string& from) {
  const std::wstring shown = platform::ShownText(from);
  const std::size_t n = std::min(shown.size(), N - 1);
  std::memcpy(to, shown.data(), n * sizeof(wchar_t));
  to[n] = L'\0';
}

}  // namespace

TTrayIcon::TTrayIcon(HWND owner, HICON icon, const std::string& tooltip)
    : owner_(owner),
      icon_(icon),
      tooltip_(tooltip),
      taskbarCreated_(RegisterWindowMessageA("TaskbarCreated")) {}

TTrayIcon::~TTrayIcon() {
  if (visible_) {
    NOTIFYICONDATAW data = Data(0);
    Shell_NotifyIconW(NIM_DELETE, &data);
  }
}

NOTIFYICONDATAW TTrayIcon::Data(UINT flags) const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = owner_;
  data.uID = 1;
  data.uFlags = flags;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = icon_;
  CopyText(data.szTip, tooltip_);  // at most 127 characters
  return data;
}

void TTrayIcon::SetVisible(bool visible) {
  if (visible == visible_) return;
  NOTIFYICONDATAW data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
  if (!Shell_NotifyIconW(visible ? NIM_ADD : NIM_DELETE, &data)) {
    OwnMessageBox(nullptr,
                  visible ? Tr("Cannot create shell notification icon")
                          : Tr("Cannot remove shell notification icon"),
                  caption_, MB_OK | MB_ICONERROR);
    return;
  }
  visible_ = visible;
  Trace(visible ? "tray: shown" : "tray: hidden");
}

void TTrayIcon::SetTip(const std::string& tip) {
  if (tip == tooltip_) return;
  tooltip_ = tip;
  if (!visible_) return;
  NOTIFYICONDATAW data = Data(NIF_TIP);
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TTrayIcon::ShowBalloon(const std::string& title, const std::string& text) {
  if (!visible_) return;
  NOTIFYICONDATAW data = Data(NIF_INFO);
  CopyText(data.szInfoTitle, title);
  CopyText(data.szInfo, text);
  data.uTimeout = 3000;
  data.dwInfoFlags = NIIF_NONE;
  Shell_NotifyIconW(NIM_MODIFY, &data);
  Trace("balloon: " + title + ": " + text);
}

void TTrayIcon::ClearBalloon() {
  if (!visible_) return;
  NOTIFYICONDATAW data = Data(NIF_INFO);
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TTrayIcon::ShowMenu() {
  enum : UINT { kFirstLimit = 1, kPause = 100, kResume = 101 };
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  const std::int64_t current = CurrentLimit ? CurrentLimit() : 0;
  UINT id = kFirstLimit;
  for (const TSpeedChoice& choice : kSpeedChoices)
    AppendMenuW(menu, MF_STRING | (choice.KiBPerSecond == current ? MF_CHECKED : MF_UNCHECKED),
                id++, platform::ShownText(Tr(choice.Label)).c_str());
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  const bool paused = IsPaused && IsPaused();
  AppendMenuW(menu, MF_STRING | (paused ? MF_GRAYED : MF_ENABLED), kPause,
              platform::ShownText(Tr(kPauseLabel)).c_str());
  AppendMenuW(menu, MF_STRING | (paused ? MF_ENABLED : MF_GRAYED), kResume,
              platform::ShownText(Tr(kResumeLabel)).c_str());
  POINT at{};
  GetCursorPos(&at);
  // The owner comes to the front first, or the menu would stay open when the player clicks
  // elsewhere; the message posted after it lets the menu close for good.
  SetForegroundWindow(owner_);
  Trace("tray: menu");
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(
      menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, owner_, nullptr));
  PostMessageA(owner_, WM_NULL, 0, 0);
  DestroyMenu(menu);
  if (chosen >= kFirstLimit && chosen < id && OnLimit) {
    OnLimit(kSpeedChoices[chosen - kFirstLimit].KiBPerSecond);
  } else if ((chosen == kPause || chosen == kResume) && OnPause) {
    OnPause(chosen == kPause);
  }
}

bool TTrayIcon::HandleMessage(UINT message, WPARAM, LPARAM lParam) {
  if (message == kTrayMessage) {
    // A press and a release of the left button on the icon; the right one opens the menu.
    if (LOWORD(lParam) == WM_LBUTTONUP && OnClick) OnClick();
    if (LOWORD(lParam) == WM_RBUTTONUP) ShowMenu();
    return true;
  }
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    if (visible_) {
      NOTIFYICONDATAW data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
      Shell_NotifyIconW(NIM_ADD, &data);
    }
    return true;
  }
  return false;
}

}  // namespace kova::ui
