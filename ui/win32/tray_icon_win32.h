#pragma once
// The notification-area icon and its balloon (Shell_NotifyIcon). The icon's messages come to the
// owner window as `kTrayMessage`, which hands them to HandleMessage; the shell's "TaskbarCreated"
// message adds a visible icon again after the taskbar was re-created.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kova::ui {

class TTrayIcon {
 public:
  static constexpr UINT kTrayMessage = WM_APP + 0x21;
  TTrayIcon(HWND owner, HICON icon, const std::string& tooltip);
  ~TTrayIcon();
  TTrayIcon(const TTrayIcon&) = delete;
  TTrayIcon& operator=(const TTrayIcon&) = delete;

  // Adds or removes the icon; a failure is reported to the player in a message box.
  void SetVisible(bool visible);
  bool Visible() const { return visible_; }
  void ShowBalloon(const std::string& title, const std::string& text);
  void ClearBalloon();
  // The text shown when the pointer rests on the icon.
  void SetTip(const std::string& tip);
  // True when the owner's message `message` was the icon's (a click or the taskbar's re-creation).
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  std::function<void()> OnClick;
  // The right button's menu: the speed limits with the current one checked, then pause and
  // resume, of which only the one that applies can be chosen.
  std::function<std::int64_t()> CurrentLimit;
  std::function<bool()> IsPaused;
  std::function<void(std::int64_t kibPerSecond)> OnLimit;
  std::function<void(bool paused)> OnPause;

 private:
  NOTIFYICONDATAW Data(UINT flags) const;
  void ShowMenu();
  HWND owner_;
  HICON icon_;
  std::string tooltip_;
  // The application title: the caption of the icon's error boxes, as of every other box.
  const std::string caption_ = tooltip_;
  UINT taskbarCreated_;
  bool visible_ = false;
};

}  // namespace kova::ui
