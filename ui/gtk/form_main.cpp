#include "ui/gtk/form_main.h"

#include "core/options.h"
#include "core/startup.h"
#include "core/utility.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/main_loop.h"
#include "support/translation.h"
#include "ui/form_rules.h"
#include "ui/gtk/message_box.h"
#include "ui/trace.h"

namespace kova::ui {
namespace {

constexpr TRgb kLime{0, 255, 0};

GdkPixbuf* PixbufOf(const TImage& image) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, image.Width, image.Height);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  for (int y = 0; y < image.Height; ++y) {
    std::copy_n(image.Pixel(0, y), static_cast<std::size_t>(image.Width) * 4,
                pixels + static_cast<std::ptrdiff_t>(y) * stride);
  }
  return pixbuf;
}

// Runs a click after the mouse event that made it has been handled: a click may start an update
// run, which serves the window's messages for as long as it lasts.
struct TDeferredClick {
  std::function<void()> click;
  static gboolean Run(gpointer data) {
    std::unique_ptr<TDeferredClick> self(static_cast<TDeferredClick*>(data));
    self->click();
    return G_SOURCE_REMOVE;
  }
};

void Defer(const std::function<void()>& click) {
  if (click)
    g_idle_add_full(G_PRIORITY_HIGH_IDLE, TDeferredClick::Run, new TDeferredClick{click}, nullptr);
}

}  // namespace

TFormMain::TFormMain(const std::string& title) : title_(title) {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), title_.c_str());
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  // The surface carries the background and the graphic controls and gives the window its size;
  // the news panel lies over it with its place given by margins, so the page inside can never
  // make it larger than its 775 x 440 pixels.
  GtkWidget* overlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(window_), overlay);
  surface_ = gtk_drawing_area_new();
  gtk_widget_set_size_request(surface_, 800, 600);
  gtk_widget_add_events(surface_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                      GDK_POINTER_MOTION_MASK | GDK_LEAVE_NOTIFY_MASK |
                                      GDK_ENTER_NOTIFY_MASK);
  gtk_container_add(GTK_CONTAINER(overlay), surface_);
  panelWeb_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_halign(panelWeb_, GTK_ALIGN_FILL);
  gtk_widget_set_valign(panelWeb_, GTK_ALIGN_FILL);
  gtk_widget_set_margin_start(panelWeb_, 12);
  gtk_widget_set_margin_top(panelWeb_, 42);
  gtk_widget_set_margin_end(panelWeb_, 800 - 12 - 775);
  gtk_widget_set_margin_bottom(panelWeb_, 600 - 42 - 440);
  gtk_widget_set_no_show_all(panelWeb_, TRUE);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), panelWeb_);

  // 1. Start and Check stay disabled until the first run ends.
  StartButton_.SetEnabled(false);
  CheckButton_.SetEnabled(false);
  // 2. The background gives the window its size, outline and painting.
  shaper_ = std::make_unique<TFormShaper>(GTK_WINDOW(window_));
  shaper_->TransparentColor = kLime;
  shaper_->SetBkgndBitmap(ToBitmap24(ResourceImage("BACKGROUND")));
  // 3. The sprites.
  StartButton_.SetImage(ResourceImage("START"));
  CancelButton_.SetImage(ResourceImage("CANCEL"));
  CheckButton_.SetImage(ResourceImage("CHECK"));
  MinimizeButton_.SetImage(ResourceImage("MINIMIZE"));
  CloseButton_.SetImage(ResourceImage("CLOSE"));
  // 4. Both bars run from 0 to their width.
  for (TALProgressBar* bar : {&ProgressBar_, &ProgressBarTotal_}) {
    bar->SetMax(bar->Bounds.Right - bar->Bounds.Left);
    bar->SetPosition(0);
  }
  LabelA_.SetCaption(Tr("File Progress:"));
  LabelB_.SetCaption(Tr("Total Progress:"));
  controls_ = {&Info_,           &LabelA_,      &LabelB_,      &Transfer_,
               &Reason_,         &StartButton_, &CheckButton_, &CancelButton_,
               &MinimizeButton_, &CloseButton_, &ProgressBar_, &ProgressBarTotal_};
  for (TControl* control : controls_) {
    control->Invalidate = [this](const TRect& r) { Invalidate(r); };
  }
  // 6. The notification-area icon, hidden.
  GdkPixbuf* icon = PixbufOf(ResourceImage("TRAYICON"));
  gtk_window_set_icon(GTK_WINDOW(window_), icon);
  trayIcon_ = std::make_unique<TTrayIcon>(title_, icon);
  g_object_unref(icon);
  trayIcon_->OnClick = [this] { TrayIconClick(); };
  trayIcon_->CurrentLimit = [this] { return SpeedLimit(); };
  trayIcon_->IsPaused = [this] { return Paused(); };
  trayIcon_->OnLimit = [this](std::int64_t kibPerSecond) { SpeedLimitChosen(kibPerSecond); };
  trayIcon_->OnPause = [this](bool paused) { PauseChosen(paused); };
  // 7. Messages from other instances.
  if (InstanceMutex) {
    const std::string& uid = UpdaterOptions().Uid;
    InstanceMutex->ServeMessages({FocusMessageName(uid), CloseMessageName(uid)},
                                 [this](const std::string& message) {
                                   ApplicationEventsMessage(platform::RegisterMessage(message));
                                 });
  }
  // 8. The clicks.
  CancelButton_.OnClick = [this] { CancelButtonClick(); };
  CheckButton_.OnClick = [this] { CheckButtonClick(); };
  StartButton_.OnClick = [this] { StartButtonClick(); };
  MinimizeButton_.OnClick = [this] { MinimizeButtonClick(); };
  CloseButton_.OnClick = [this] { CloseButtonClick(false); };
  // 9. The news panel, hidden until its page has loaded.
  browser_ = std::make_unique<TNewsBrowser>(panelWeb_, [this] { PanelWebShown(); });
  // 10. The home folder and the persisted state.
  InitHomeState(GameFolder);

  g_signal_connect(surface_, "draw", G_CALLBACK(Draw), this);
  g_signal_connect(surface_, "button-press-event", G_CALLBACK(ButtonPress), this);
  g_signal_connect(surface_, "button-release-event", G_CALLBACK(ButtonRelease), this);
  g_signal_connect(surface_, "motion-notify-event", G_CALLBACK(Motion), this);
  g_signal_connect(surface_, "leave-notify-event", G_CALLBACK(Leave), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(DeleteEvent), this);
  g_signal_connect(window_, "window-state-event", G_CALLBACK(WindowState), this);
}

TFormMain::~TFormMain() {
  if (InstanceMutex) InstanceMutex->ServeMessages({}, nullptr);
  if (closeTimerSource_) g_source_remove(closeTimerSource_);
  browser_.reset();
  trayIcon_.reset();
  shaper_.reset();
  gtk_widget_destroy(window_);
}

void TFormMain::Show() {
  gtk_widget_show_all(window_);
  Trace("window: shown");
  FormShow();
}

void TFormMain::SetStatusTip(const std::string& text) {
  // Traced when a tip comes and goes, not at each of its changes.
  if (text.empty() != tipText_.empty()) Trace("tray tip: " + (text.empty() ? title_ : text));
  tipText_ = text;
  trayIcon_->SetTip(text.empty() ? title_ : title_ + " - " + text);
}

void TFormMain::StartRunTimer() {
  g_timeout_add(
      333,
      [](gpointer self) -> gboolean {
        auto* form = static_cast<TFormMain*>(self);
        form->RunFromTimer();
        return G_SOURCE_REMOVE;
      },
      this);
}

bool TFormMain::StartCloseTimer() {
  closeTimerSource_ = g_timeout_add(
      50,
      [](gpointer self) -> gboolean {
        auto* form = static_cast<TFormMain*>(self);
        form->CloseButtonClick(true);
        return form->closeTimerSource_ ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
      },
      this);
  return closeTimerSource_ != 0;
}

void TFormMain::StopCloseTimer() {
  // Called from the timer itself, which then returns G_SOURCE_REMOVE.
  closeTimerSource_ = 0;
}

void TFormMain::HideWindow() {
  trayIcon_->SetVisible(false);
  gtk_widget_hide(window_);
}

void TFormMain::HideToTray() {
  if (!TTrayIcon::Available()) {
    // Without a notification area the icon could never bring the window back.
    iconifiedInstead_ = true;
    gtk_window_iconify(GTK_WINDOW(window_));
    Trace("window: iconified");
    return;
  }
  gtk_widget_hide(window_);
  trayIcon_->SetVisible(true);
  Trace("window: hidden");
}

void TFormMain::PresentWindow() {
  gtk_window_present(GTK_WINDOW(window_));
}

void TFormMain::TrayIconClick() {
  trayIcon_->ClearBalloon();
  const bool wasHidden = !gtk_widget_get_visible(window_);
  // A window that the window manager minimised keeps its iconic mark while hidden, and would be
  // mapped iconic again and hidden straight back into the tray: the mark goes first.
  gtk_window_deiconify(GTK_WINDOW(window_));
  gtk_window_present(GTK_WINDOW(window_));
  if (trayIcon_->Visible()) trayIcon_->SetVisible(false);
  if (wasHidden) {
    Trace("window: shown");
    FormShow();
  }
}

void TFormMain::ProgressMessage(int position) {
  ProgressBar_.SetPosition(position);
}

void TFormMain::SetInfo(const std::string& text) {
  if (text != Info_.Caption()) Trace("info: " + text);
  Info_.SetCaption(text);
}

void TFormMain::ShowReason(const std::string& reason) {
  // The line below the bars holds some 88 characters.
  const std::string shown = FitText(reason, 88);
  if (shown != Reason_.Caption()) Trace("reason: " + reason);
  Reason_.SetCaption(shown);
}

void TFormMain::EnableButtons(bool start, bool check) {
  StartButton_.SetEnabled(start);
  CheckButton_.SetEnabled(check);
  TraceButtons(start, check);
}

void TFormMain::NavigateNews(const std::vector<std::string>& addresses) {
  if (browser_) browser_->Navigate(addresses);
}

bool TFormMain::IsWindowVisible() const {
  if (!gtk_widget_get_visible(window_)) return false;
  GdkWindow* w = gtk_widget_get_window(window_);
  return !(w && (gdk_window_get_state(w) & GDK_WINDOW_STATE_ICONIFIED));
}

void TFormMain::ShowBalloon(const std::string& title, const std::string& text) {
  trayIcon_->ShowBalloon(title, text);
}

TBoxResult TFormMain::RetryBox(TBoxKind kind, const std::string& text) {
  return ui::RetryBox(GTK_WINDOW(window_), title_, text,
                      kind == TBoxKind::DownloadError ? 30000 : 0);
}

void TFormMain::ErrorBox(const std::string& text) {
  ui::ErrorBox(GTK_WINDOW(window_), title_, text);
}

void TFormMain::PanelWebShown() {
  if (panelShown_) return;
  panelShown_ = true;
  gtk_widget_show(panelWeb_);
  // The panel's window is made when it is first shown; it must lie above the surface's, or the
  // surface would take the page's mouse input.
  if (GdkWindow* w = gtk_widget_get_window(panelWeb_)) gdk_window_raise(w);
  browser_->SetPanelVisible(true);
  Trace("panel: shown");
}

TControl* TFormMain::ControlAt(double x, double y) {
  for (TControl* control : controls_) {
    if (control->Visible && control->Enabled() && control->Contains(x, y)) return control;
  }
  return nullptr;
}

void TFormMain::Invalidate(const TRect& r) {
  if (r.Right > r.Left && r.Bottom > r.Top) {
    gtk_widget_queue_draw_area(surface_, r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
  }
}

void TFormMain::SetHover(TMyPNGButton* button) {
  if (hover_ == button) return;
  if (hover_ && hover_->State().Leave()) hover_->Repaint();
  hover_ = button;
  if (hover_ && hover_->State().Enter()) hover_->Repaint();
}

gboolean TFormMain::Draw(GtkWidget*, cairo_t* cr, gpointer self) {
  auto* form = static_cast<TFormMain*>(self);
  form->shaper_->PaintBackground(cr);
  for (TControl* control : form->controls_) {
    if (control->Visible) control->Paint(cr);
  }
  return TRUE;
}

gboolean TFormMain::ButtonPress(GtkWidget*, GdkEventButton* event, gpointer self) {
  auto* form = static_cast<TFormMain*>(self);
  // The second press of a double click also comes as a plain press, which is the one handled.
  if (event->type != GDK_BUTTON_PRESS) return TRUE;
  TControl* control = form->ControlAt(event->x, event->y);
  auto* button = dynamic_cast<TMyPNGButton*>(control);
  if (button) {
    const bool left = event->button == 1;
    bool doubleClick = false;
    if (left) {
      gint interval = 400;
      g_object_get(gtk_settings_get_default(), "gtk-double-click-time", &interval, nullptr);
      doubleClick = form->lastPressed_ == button && form->lastPressTime_ != 0 &&
                    event->time - form->lastPressTime_ <= static_cast<guint32>(interval);
      form->lastPressed_ = button;
      form->lastPressTime_ = doubleClick ? 0 : event->time;
    }
    if (button->State().Press(left, doubleClick)) {
      form->captured_ = button;
      button->Repaint();
    }
    return TRUE;
  }
  // Anything but an enabled control drags the window: the background, the labels' surroundings
  // and a disabled button.
  if (!control && event->button == 1) {
    gtk_window_begin_move_drag(GTK_WINDOW(form->window_), 1, static_cast<gint>(event->x_root),
                               static_cast<gint>(event->y_root), event->time);
  }
  return TRUE;
}

gboolean TFormMain::ButtonRelease(GtkWidget*, GdkEventButton* event, gpointer self) {
  auto* form = static_cast<TFormMain*>(self);
  TMyPNGButton* button = form->captured_;
  if (!button) return TRUE;
  bool clicked = false;
  if (button->State().Release(event->button == 1, button->Contains(event->x, event->y), clicked))
    button->Repaint();
  if (!button->State().Captured()) form->captured_ = nullptr;
  if (clicked) Defer(button->OnClick);
  return TRUE;
}

gboolean TFormMain::Motion(GtkWidget*, GdkEventMotion* event, gpointer self) {
  auto* form = static_cast<TFormMain*>(self);
  if (TMyPNGButton* button = form->captured_) {
    // While the button holds the mouse, leaving and re-entering it still clears and sets the
    // pointer-over flag.
    const bool inside = button->Contains(event->x, event->y);
    if (inside != button->State().PointerOver() &&
        (inside ? button->State().Enter() : button->State().Leave())) {
      button->Repaint();
    }
    return TRUE;
  }
  auto* button = dynamic_cast<TMyPNGButton*>(form->ControlAt(event->x, event->y));
  form->SetHover(button);
  if (button && button->State().Move()) button->Repaint();
  return TRUE;
}

gboolean TFormMain::Leave(GtkWidget*, GdkEventCrossing* event, gpointer self) {
  auto* form = static_cast<TFormMain*>(self);
  if (event->mode == GDK_CROSSING_NORMAL && !form->captured_) form->SetHover(nullptr);
  return TRUE;
}

gboolean TFormMain::DeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
  static_cast<TFormMain*>(self)->CloseRequest();
  return TRUE;  // the window is closed by CloseRequest when closing is allowed
}

gboolean TFormMain::WindowState(GtkWidget*, GdkEventWindowState* event, gpointer self) {
  auto* form = static_cast<TFormMain*>(self);
  if (!(event->changed_mask & GDK_WINDOW_STATE_ICONIFIED)) return FALSE;
  const bool iconified = (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0;
  if (iconified && !form->iconifiedInstead_) {
    // The system's minimise request; hidden once this notification has been handled, since GTK
    // is still updating the window while it reports the change.
    g_idle_add(
        [](gpointer data) -> gboolean {
          auto* f = static_cast<TFormMain*>(data);
          GdkWindow* w = gtk_widget_get_window(f->window_);
          if (!f->closed_ && w && (gdk_window_get_state(w) & GDK_WINDOW_STATE_ICONIFIED))
            f->HideToTray();
          return G_SOURCE_REMOVE;
        },
        form);
  } else if (!iconified && form->iconifiedInstead_) {
    form->iconifiedInstead_ = false;
    Trace("window: shown");
    form->FormShow();
  }
  return FALSE;
}

}  // namespace kova::ui
