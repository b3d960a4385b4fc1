#pragma once
// The launcher's only window on Windows: a pop-up window with the background's size and
// outline, the five sprite buttons, the information line and the two bars painted by the window
// itself, the news panel with the WebBrowser control, and the notification-area icon. It hosts
// the update run, which executes on the GUI thread inside this window's handlers, so every
// handler may run nested inside a run.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ui/form_rules.h"
#include "ui/win32/controls_win32.h"
#include "ui/win32/news_browser_win32.h"
#include "ui/win32/tray_icon_win32.h"

namespace kova::ui {

class TFormMain final : public TFormBase {
 public:
  // Creates the window hidden, as FormCreate does; `title` is the application title.
  explicit TFormMain(const std::string& title);
  ~TFormMain() override;

  void Show();
  void TrayIconClick() override;
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
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Paint();
  void StartRunTimer() override;
  bool StartCloseTimer() override;
  void StopCloseTimer() override;
  void HideWindow() override;
  void HideToTray() override;
  void PresentWindow() override;
  void PanelWebShown();
  TControl* ControlAt(int x, int y);
  void Invalidate(const TRect& r, bool now);
  void SetHover(TMyPNGButton* button);
  void MouseDown(int x, int y, bool left, bool doubleClick);
  void MouseUp(int x, int y, bool left);
  void MouseMove(int x, int y);

  std::string title_;
  std::string tipText_;
  HWND window_ = nullptr;
  HWND panelWeb_ = nullptr;
  HICON icon_ = nullptr;
  std::unique_ptr<TCanvas> background_;  // the background image, 24-bit
  std::unique_ptr<TCanvas> frame_;       // where each paint is composed
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
  std::vector<TMyPNGButton*> buttons_;

  TMyPNGButton* hover_ = nullptr;
  TMyPNGButton* captured_ = nullptr;
  bool tracking_ = false;
  bool panelShown_ = false;
};

}  // namespace kova::ui
