#pragma once
// The notification-area icon and its balloon. The icon lives in an XEmbed system tray; where no
// tray is running the window cannot hide into one, which Available() tells beforehand. The
// balloon is a desktop notification.
#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kova::ui {

class TTrayIcon {
 public:
  TTrayIcon(const std::string& tooltip, GdkPixbuf* icon);
  ~TTrayIcon();
  TTrayIcon(const TTrayIcon&) = delete;
  TTrayIcon& operator=(const TTrayIcon&) = delete;

  // Whether a system tray is running on the display to take the icon.
  static bool Available();
  void SetVisible(bool visible);
  bool Visible() const { return visible_; }
  void ShowBalloon(const std::string& title, const std::string& text);
  // The text shown when the pointer rests on the icon.
  void SetTip(const std::string& tip);
  void ClearBalloon();
  // A left click (press and release) on the icon.
  std::function<void()> OnClick;
  // The right button's menu: the speed limits with the current one marked, then pause and
  // resume, of which only the one that applies can be chosen.
  std::function<std::int64_t()> CurrentLimit;
  std::function<bool()> IsPaused;
  std::function<void(std::int64_t kibPerSecond)> OnLimit;
  std::function<void(bool paused)> OnPause;

 private:
  static void Activated(GtkStatusIcon*, gpointer self);
  static gboolean Released(GtkStatusIcon*, GdkEventButton* event, gpointer self);
  void ShowMenu(GdkEventButton* event);
  GtkStatusIcon* icon_ = nullptr;
  bool visible_ = false;
  std::string tip_;
  bool notifyReady_ = false;
  void* notification_ = nullptr;
};

}  // namespace kova::ui
