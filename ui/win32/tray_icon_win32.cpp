#include "ui/win32/tray_icon_win32.h"

#include <algorithm>
#include <cstring>

#include "core/startup.h"
#include "ui/trace.h"
#include "ui/win32/message_box_win32.h"

namespace kova::ui {
namespace {

template <std::size_t N>
void CopyText(char (&to)[N], const std::string& from) {
  const std::size_t n = std::min(from.size(), N - 1);
  std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

}  // namespace

TTrayIcon::TTrayIcon(HWND owner, HICON icon, const std::string& tooltip)
    : owner_(owner),
      icon_(icon),
      tooltip_(tooltip),
      taskbarCreated_(RegisterWindowMessageA("TaskbarCreated")) {}

TTrayIcon::~TTrayIcon() {
  if (visible_) {
    NOTIFYICONDATAA data = Data(0);
    Shell_NotifyIconA(NIM_DELETE, &data);
  }
}

NOTIFYICONDATAA TTrayIcon::Data(UINT flags) const {
  NOTIFYICONDATAA data{};
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
  NOTIFYICONDATAA data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
  if (!Shell_NotifyIconA(visible ? NIM_ADD : NIM_DELETE, &data)) {
    OwnMessageBox(
        nullptr,
        visible ? "Cannot create shell notification icon" : "Cannot remove shell notification icon",
        caption_, MB_OK | MB_ICONERROR);
    return;
  }
  visible_ = visible;
  Trace(visible ? "tray: shown" : "tray: hidden");
}

void TTrayIcon::ShowBalloon(const std::string& title, const std::string& text) {
  if (!visible_) return;
  NOTIFYICONDATAA data = Data(NIF_INFO);
  CopyText(data.szInfoTitle, title);
  CopyText(data.szInfo, text);
  data.uTimeout = 3000;
  data.dwInfoFlags = NIIF_NONE;
  Shell_NotifyIconA(NIM_MODIFY, &data);
  Trace("balloon: " + title + ": " + text);
}

void TTrayIcon::ClearBalloon() {
  if (!visible_) return;
  NOTIFYICONDATAA data = Data(NIF_INFO);
  Shell_NotifyIconA(NIM_MODIFY, &data);
}

bool TTrayIcon::HandleMessage(UINT message, WPARAM, LPARAM lParam) {
  if (message == kTrayMessage) {
    // A press and a release of the left button on the icon.
    if (LOWORD(lParam) == WM_LBUTTONUP && OnClick) OnClick();
    return true;
  }
  if (message == taskbarCreated_ && taskbarCreated_ != 0) {
    if (visible_) {
      NOTIFYICONDATAA data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
      Shell_NotifyIconA(NIM_ADD, &data);
    }
    return true;
  }
  return false;
}

}  // namespace kova::ui
