#include "ui/gtk/tray_icon.h"

#include <libnotify/notify.h>

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "core/startup.h"
#include "ui/trace.h"

namespace kova::ui {

TTrayIcon::TTrayIcon(const std::string& tooltip, GdkPixbuf* icon) {
  icon_ = gtk_status_icon_new_from_pixbuf(icon);
  gtk_status_icon_set_visible(icon_, FALSE);
  // The tooltip is cut to 127 characters, as notification areas keep no more.
  gtk_status_icon_set_tooltip_text(icon_, tooltip.substr(0, 127).c_str());
  gtk_status_icon_set_title(icon_, tooltip.substr(0, 127).c_str());
  g_signal_connect(icon_, "button-release-event", G_CALLBACK(Released), this);
}

TTrayIcon::~TTrayIcon() {
  ClearBalloon();
  if (icon_) {
    gtk_status_icon_set_visible(icon_, FALSE);
    g_object_unref(icon_);
  }
  if (notifyReady_) notify_uninit();
}

bool TTrayIcon::Available() {
#ifdef GDK_WINDOWING_X11
  GdkDisplay* display = gdk_display_get_default();
  if (!display || !GDK_IS_X11_DISPLAY(display)) return false;
  Display* x = GDK_DISPLAY_XDISPLAY(display);
  const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(x));
  return XGetSelectionOwner(x, XInternAtom(x, selection.c_str(), False)) != None;
#else
  return false;
#endif
}

void TTrayIcon::SetVisible(bool visible) {
  visible_ = visible;
  gtk_status_icon_set_visible(icon_, visible);
  Trace(visible ? "tray: shown" : "tray: hidden");
}

gboolean TTrayIcon::Released(GtkStatusIcon*, GdkEventButton* event, gpointer self) {
  auto* tray = static_cast<TTrayIcon*>(self);
  if (event->button == 1 && tray->OnClick) tray->OnClick();
  return TRUE;
}

void TTrayIcon::ShowBalloon(const std::string& title, const std::string& text) {
  Trace("balloon: " + title + ": " + text);
  if (!notifyReady_) notifyReady_ = notify_init(kApplicationName);
  if (!notifyReady_) return;
  ClearBalloon();
  NotifyNotification* n = notify_notification_new(title.c_str(), text.c_str(), nullptr);
  notify_notification_set_timeout(n, 3000);
  // Without a notification service the balloon is simply not shown.
  notify_notification_show(n, nullptr);
  notification_ = n;
}

void TTrayIcon::ClearBalloon() {
  if (!notification_) return;
  auto* n = static_cast<NotifyNotification*>(notification_);
  notify_notification_close(n, nullptr);
  g_object_unref(n);
  notification_ = nullptr;
}

}  // namespace kova::ui
