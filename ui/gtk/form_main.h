#pragma once
// The launcher's only window: the skin, the five buttons, the information line and the two bars,
// the news panel, the notification-area icon, and the host of the update run. The run executes on
// the GUI thread inside this window's handlers, so every handler may run nested inside a run.
#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/form_rules.h"
#include "ui/gtk/controls.h"
#include "ui/gtk/form_shaper.h"
#include "ui/gtk/news_browser.h"
#include "ui/gtk/tray_icon.h"

namespace kova::ui {

class TFormMain final : public TFormBase {
 public:
  // Creates the window hidden, as FormCreate does; `title` is the application title.
  explicit TFormMain(const std::string& title);
  ~TFormMain() override;

  void Show();
  void TrayIconClick() override;
  // The progress message: wParam is the file bar's new position.
  void ProgressMessage(int position);

  // IUpdateHost.
  void SetInfo(const std::string& text) override;
  std::string Info() const override { return Info_.Caption(); }
  void SetFileProgress(int position) override { ProgressMessage(position); }
  void SetTotalProgress(int position) override { ProgressBarTotal_.SetPosition(position); }
  int TotalProgress() const override { return ProgressBarTotal_.Position(); }
  void SetTransfer(const std::string& text) override { Transfer_.SetCaption(text); }
  void SetStatusTip(const std::string& text) override;
  void ShowReason(const std::string& reason) override;
  void EnableButtons(bool start, bool check) override;
  bool NewsLoaded() const override { return browser_ && browser_->HasDocument(); }
  void NavigateNews(const std::vector<std::string>& addresses) override;
  bool IsWindowVisible() const override;
  void ShowBalloon(const std::string& title, const std::string& text) override;
  TBoxResult RetryBox(TBoxKind kind, const std::string& text) override;
  void ErrorBox(const std::string& text) override;

 private:
  void StartRunTimer() override;
  bool StartCloseTimer() override;
  void StopCloseTimer() override;
  void HideWindow() override;
  void HideToTray() override;
  void PresentWindow() override;
  void PanelWebShown();
  TControl* ControlAt(double x, double y);
  void Invalidate(const TRect& r);
  void SetHover(TMyPNGButton* button);

  static gboolean Draw(GtkWidget*, cairo_t* cr, gpointer self);
  static gboolean ButtonPress(GtkWidget*, GdkEventButton* event, gpointer self);
  static gboolean ButtonRelease(GtkWidget*, GdkEventButton* event, gpointer self);
  static gboolean Motion(GtkWidget*, GdkEventMotion* event, gpointer self);
  static gboolean Leave(GtkWidget*, GdkEventCrossing* event, gpointer self);
  static gboolean DeleteEvent(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean WindowState(GtkWidget*, GdkEventWindowState* event, gpointer self);

  std::string title_;
  std::string tipText_;
  GtkWidget* window_ = nullptr;
  GtkWidget* surface_ = nullptr;
  GtkWidget* panelWeb_ = nullptr;
  std::unique_ptr<TFormShaper> shaper_;
  std::unique_ptr<TNewsBrowser> browser_;
  std::unique_ptr<TTrayIcon> trayIcon_;
  TLabel Info_{kInfoLabel};
  TLabel LabelA_{kLabelA};
  TLabel LabelB_{kLabelB};
  TLabel Transfer_{kTransferLabel};
  TLabel Reason_{kReasonLabel};
  TMyPNGButton StartButton_{kStartButton};
  TMyPNGButton CheckButton_{kCheckButton};
  TMyPNGButton CancelButton_{kCancelButton};
  TMyPNGButton MinimizeButton_{kMinimizeButton};
  TMyPNGButton CloseButton_{kCloseButton};
  TALProgressBar ProgressBar_{kFileBar};
  TALProgressBar ProgressBarTotal_{kTotalBar};
  std::vector<TControl*> controls_;

  TMyPNGButton* hover_ = nullptr;
  TMyPNGButton* captured_ = nullptr;
  guint32 lastPressTime_ = 0;
  TMyPNGButton* lastPressed_ = nullptr;
  guint closeTimerSource_ = 0;
  bool iconifiedInstead_ = false;
  bool panelShown_ = false;
};

}  // namespace kova::ui
