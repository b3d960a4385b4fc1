#include "ui/gtk/tray_icon.h"

#include <libnotify/notify.h>

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "core/startup.h"
#include "core/utility.h"
#include "support/translation.h"
#include "ui/form_rules.h"
#include "ui/trace.h"

namespace kova::ui {

TTrayIcon::TTrayIcon(const std::string& tooltip, GdkPixbuf* icon) : tip_(tooltip) {
  icon_ = gtk_status_icon_new_from_pixbuf(icon);
  gtk_status_icon_set_visible(icon_, FALSE);
  // The tooltip is cut to 127 bytes, as notification areas keep no more.
  gtk_status_icon_set_tooltip_text(icon_, FitText(tooltip, 127).c_str());
  gtk_status_icon_set_title(icon_, FitText(tooltip, 127).c_str());
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

void TTrayIcon::SetTip(const std::string& tip) {
  if (tip == tip_) return;
  tip_ = tip;
  gtk_status_icon_set_tooltip_text(icon_, FitText(tip, 127).c_str());
}

void TTrayIcon::SetVisible(bool visible) {
  visible_ = visible;
  gtk_status_icon_set_visible(icon_, visible);
  Trace(visible ? "tray: shown" : "tray: hidden");
}

gboolean TTrayIcon::Released(GtkStatusIcon*, GdkEventButton* event, gpointer self) {
  auto* tray = static_cast<TTrayIcon*>(self);
  if (event->button == 1 && tray->OnClick) tray->OnClick();
  if (event->button == 3) tray->ShowMenu(event);
  return TRUE;
}

void TTrayIcon::ShowMenu(GdkEventButton* event) {
  GtkWidget* menu = gtk_menu_new();
  const std::int64_t current = CurrentLimit ? CurrentLimit() : 0;
  GSList* group = nullptr;
  for (const TSpeedChoice& choice : kSpeedChoices) {
    GtkWidget* item = gtk_radio_menu_item_new_with_label(group, Tr(choice.Label));
    group = gtk_radio_menu_item_get_group(GTK_RADIO_MENU_ITEM(item));
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), choice.KiBPerSecond == current);
    g_object_set_data(G_OBJECT(item), "kova-choice", const_cast<TSpeedChoice*>(&choice));
    // Connected once marked: only the player's choice counts, and only the item it turns on.
    g_signal_connect(item, "toggled", G_CALLBACK(+[](GtkCheckMenuItem* chosen, gpointer self) {
                       if (!gtk_check_menu_item_get_active(chosen)) return;
                       auto* tray = static_cast<TTrayIcon*>(self);
                       const auto* picked = static_cast<const TSpeedChoice*>(
                           g_object_get_data(G_OBJECT(chosen), "kova-choice"));
                       if (tray->OnLimit) tray->OnLimit(picked->KiBPerSecond);
                     }),
                     this);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  }
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
  const bool paused = IsPaused && IsPaused();
  for (const bool pause : {true, false}) {
    GtkWidget* item = gtk_menu_item_new_with_label(Tr(pause ? kPauseLabel : kResumeLabel));
    gtk_widget_set_sensitive(item, pause != paused);
    g_signal_connect(item, "activate",
                     G_CALLBACK(pause ? +[](GtkMenuItem*, gpointer self) {
                       auto* tray = static_cast<TTrayIcon*>(self);
                       if (tray->OnPause) tray->OnPause(true);
                     }
                                      : +[](GtkMenuItem*, gpointer self) {
                                          auto* tray = static_cast<TTrayIcon*>(self);
                                          if (tray->OnPause) tray->OnPause(false);
                                        }),
                     this);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  }
  gtk_widget_show_all(menu);
  // The menu is made anew at each right click and goes once it closes.
  g_signal_connect(menu, "deactivate", G_CALLBACK(+[](GtkMenuShell* shell, gpointer) {
                     g_idle_add(
                         [](gpointer widget) -> gboolean {
                           gtk_widget_destroy(GTK_WIDGET(widget));
                           return G_SOURCE_REMOVE;
                         },
                         shell);
                   }),
                   nullptr);
  gtk_menu_popup_at_pointer(GTK_MENU(menu), reinterpret_cast<GdkEvent*>(event));
  Trace("tray: menu");
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
