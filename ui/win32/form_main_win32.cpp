#include "ui/win32/form_main_win32.h"

#include <algorithm>

#include "core/options.h"
#include "core/startup.h"
#include "core/utility.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/main_loop.h"
#include "platform/win32/shown_text.h"
#include "support/translation.h"
#include "ui/form_rules.h"
#include "ui/trace.h"
#include "ui/win32/message_box_win32.h"

namespace kova::ui {
namespace {

constexpr TRgb kLime{0, 255, 0};
constexpr UINT_PTR kRunTimer = 1, kCloseTimer = 2;
// A click runs after the mouse message that made it has been handled: it may start an update
// run, which serves the window's messages for as long as it lasts.
constexpr UINT kClickMessage = WM_APP + 0x22;
constexpr wchar_t kWindowClass[] = L"KovaUpdaterWindow";

// The icon from an image with alpha: a 32-bit colour bitmap and an all-opaque mask.
HICON MakeIcon(const TImage& image) {
  if (image.Empty()) return nullptr;
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = image.Width;
  header.bV5Height = -image.Height;
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00FF0000;
  header.bV5GreenMask = 0x0000FF00;
  header.bV5BlueMask = 0x000000FF;
  header.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC dc = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(dc, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  ReleaseDC(nullptr, dc);
  if (!colour) return nullptr;
  auto* out = static_cast<std::uint32_t*>(bits);
  for (int y = 0; y < image.Height; ++y) {
    for (int x = 0; x < image.Width; ++x) {
      const std::uint8_t* p = image.Pixel(x, y);
      const std::uint32_t a = image.HasAlpha ? p[3] : 255;
      out[static_cast<std::ptrdiff_t>(y) * image.Width + x] =
          (a << 24) | (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
  }
  HBITMAP mask = CreateBitmap(image.Width, image.Height, 1, 1, nullptr);
  ICONINFO info{TRUE, 0, 0, mask, colour};
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(mask);
  DeleteObject(colour);
  return icon;
}

// The window's outline: one rectangle per run of pixels that are not the key colour. None when
// every pixel is the key: the window then keeps its full rectangle.
HRGN MakeRegion(const TImage& bitmap) {
  const std::vector<TRect> rects = BuildRegion(bitmap, kLime);
  if (rects.empty()) return nullptr;
  HRGN region = CreateRectRgn(rects[0].Left, rects[0].Top, rects[0].Right, rects[0].Bottom);
  for (std::size_t i = 1; i < rects.size(); ++i) {
    HRGN part = CreateRectRgn(rects[i].Left, rects[i].Top, rects[i].Right, rects[i].Bottom);
    CombineRgn(region, region, part, RGN_OR);
    DeleteObject(part);
  }
  return region;
}

bool Intersects(const TRect& a, const RECT& b) {
  return a.Left < b.right && b.left < a.Right && a.Top < b.bottom && b.top < a.Bottom;
}

}  // namespace

TFormMain::TFormMain(const std::string& title) : title_(title) {
  icon_ = MakeIcon(ResourceImage("TRAYICON"));
  WNDCLASSW cls{};
  cls.style = CS_DBLCLKS;
  cls.lpfnWndProc = WindowProc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.hIcon = icon_;
  cls.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  cls.lpszClassName = kWindowClass;
  RegisterClassW(&cls);

  // 1. Start and Check stay disabled until the first run ends.
  StartButton_.SetEnabled(false);
  CheckButton_.SetEnabled(false);
  // 2. The background gives the window its size, outline and painting. A pop-up window without
  // a frame; the system menu and the minimise box let the taskbar minimise and close it.
  const TImage background = ToBitmap24(ResourceImage("BACKGROUND"));
  const int width = background.Width, height = background.Height;
  const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  window_ =
      CreateWindowExW(WS_EX_APPWINDOW, kWindowClass, platform::ShownText(title_).c_str(),
                      (WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN) & ~WS_DLGFRAME,
                      left, top, width, height, nullptr, nullptr, cls.hInstance, this);
  background_ = std::make_unique<TCanvas>(width, height);
  background_->Draw(background, 0, 0);
  frame_ = std::make_unique<TCanvas>(width, height);
  if (HRGN region = MakeRegion(background)) SetWindowRgn(window_, region, TRUE);
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
  buttons_ = {&StartButton_, &CheckButton_, &CancelButton_, &MinimizeButton_, &CloseButton_};
  for (TControl* control : controls_) {
    control->Invalidate = [this](const TRect& r, bool now) { Invalidate(r, now); };
  }
  // 6. The notification-area icon, hidden.
  trayIcon_ = std::make_unique<TTrayIcon>(window_, icon_, title_);
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
  // 9. The news panel, hidden until its page has loaded; it is a window of its own, so it answers
  // its own hit tests and is never dragged by.
  panelWeb_ = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_CLIPCHILDREN, 12, 42, 775, 440,
                              window_, nullptr, cls.hInstance, nullptr);
  browser_ = std::make_unique<TNewsBrowser>(panelWeb_, [this] { PanelWebShown(); });
  // 10. The home folder and the persisted state.
  InitHomeState(GameFolder);
}

TFormMain::~TFormMain() {
  if (InstanceMutex) InstanceMutex->ServeMessages({}, nullptr);
  browser_.reset();
  trayIcon_.reset();
  if (window_) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (icon_) DestroyIcon(icon_);
}

LRESULT CALLBACK TFormMain::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<TFormMain*>(create->lpCreateParams)->window_ = window;
  }
  auto* form = reinterpret_cast<TFormMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!form) return DefWindowProcW(window, message, wParam, lParam);
  try {
    return form->Handle(message, wParam, lParam);
  } catch (const std::exception& error) {
    // An error that escapes a handler is shown, and the window goes on.
    OwnMessageBox(window, error.what(), form->title_, MB_OK | MB_ICONERROR);
  } catch (...) {
    OwnMessageBox(window, Tr("Unknown error"), form->title_, MB_OK | MB_ICONERROR);
  }
  return 0;
}

LRESULT TFormMain::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
  switch (message) {
    case WM_ERASEBKGND: {
      BitBlt(reinterpret_cast<HDC>(wParam), 0, 0, background_->Width(), background_->Height(),
             background_->Dc(), 0, 0, SRCCOPY);
      return 1;
    }
    case WM_PAINT:
      Paint();
      return 0;
    case WM_NCHITTEST: {
      const LRESULT hit = DefWindowProcW(window_, message, wParam, lParam);
      if (hit != HTCLIENT) return hit;
      POINT point{x, y};
      ScreenToClient(window_, &point);
      // Anything but an enabled control drags the window: the background, the labels'
      // surroundings and a disabled button.
      return ControlAt(point.x, point.y) ? HTCLIENT : HTCAPTION;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
      MouseDown(x, y, message == WM_LBUTTONDOWN || message == WM_LBUTTONDBLCLK,
                message == WM_LBUTTONDBLCLK);
      return 0;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
      MouseUp(x, y, message == WM_LBUTTONUP);
      return 0;
    case WM_MOUSEMOVE:
      MouseMove(x, y);
      return 0;
    case WM_MOUSELEAVE:
      tracking_ = false;
      if (!captured_) SetHover(nullptr);
      return 0;
    case WM_CAPTURECHANGED:
      // The capture was taken away (another window, a message box): the press is over.
      if (captured_ && reinterpret_cast<HWND>(lParam) != window_) {
        bool clicked = false;
        if (captured_->State().Release(true, false, clicked)) captured_->Repaint();
        captured_ = nullptr;
      }
      return 0;
    case kClickMessage:
      if (wParam < buttons_.size() && buttons_[wParam]->OnClick) buttons_[wParam]->OnClick();
      return 0;
    case WM_TIMER:
      if (wParam == kRunTimer) {
        KillTimer(window_, kRunTimer);
        RunFromTimer();
      } else if (wParam == kCloseTimer) {
        CloseButtonClick(true);
      }
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        HideToTray();
        return 0;
      }
      break;
    case WM_CLOSE:
      CloseRequest();
      return 0;
    default:
      if (trayIcon_ && trayIcon_->HandleMessage(message, wParam, lParam)) return 0;
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void TFormMain::Paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window_, &ps);
  const RECT& r = ps.rcPaint;
  const TRect area{r.left, r.top, r.right, r.bottom};
  frame_->CopyFrom(*background_, area);
  for (TControl* control : controls_) {
    if (control->Visible && Intersects(control->Bounds, r)) control->Paint(*frame_);
  }
  GdiFlush();
  BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, frame_->Dc(), r.left, r.top,
         SRCCOPY);
  EndPaint(window_, &ps);
}

void TFormMain::Show() {
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  SetForegroundWindow(window_);
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
  SetTimer(window_, kRunTimer, 333, nullptr);
}

bool TFormMain::StartCloseTimer() {
  return SetTimer(window_, kCloseTimer, 50, nullptr) != 0;
}

void TFormMain::StopCloseTimer() {
  KillTimer(window_, kCloseTimer);
}

void TFormMain::HideWindow() {
  trayIcon_->SetVisible(false);
  ShowWindow(window_, SW_HIDE);
}

void TFormMain::HideToTray() {
  ShowWindow(window_, SW_HIDE);
  Trace("window: hidden");
  trayIcon_->SetVisible(true);
}

void TFormMain::PresentWindow() {
  SetForegroundWindow(window_);
}

void TFormMain::TrayIconClick() {
  trayIcon_->ClearBalloon();
  const bool wasHidden = !::IsWindowVisible(window_);
  ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(window_);
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
  return ::IsWindowVisible(window_) && !IsIconic(window_);
}

void TFormMain::ShowBalloon(const std::string& title, const std::string& text) {
  trayIcon_->ShowBalloon(title, text);
}

TBoxResult TFormMain::RetryBox(TBoxKind kind, const std::string& text) {
  return ui::RetryBox(::IsWindowVisible(window_) ? window_ : nullptr, title_, text,
                      kind == TBoxKind::DownloadError ? 30000 : 0);
}

void TFormMain::ErrorBox(const std::string& text) {
  ui::ErrorBox(::IsWindowVisible(window_) ? window_ : nullptr, title_, text);
}

void TFormMain::PanelWebShown() {
  if (panelShown_) return;
  panelShown_ = true;
  ShowWindow(panelWeb_, SW_SHOW);
  browser_->SetPanelVisible(true);
  Trace("panel: shown");
}

TControl* TFormMain::ControlAt(int x, int y) {
  for (TControl* control : controls_) {
    if (control->Visible && control->Enabled() && control->Contains(x, y)) return control;
  }
  return nullptr;
}

void TFormMain::Invalidate(const TRect& r, bool now) {
  if (!window_ || r.Right <= r.Left || r.Bottom <= r.Top) return;
  const RECT rect{r.Left, r.Top, r.Right, r.Bottom};
  InvalidateRect(window_, &rect, FALSE);
  if (now) UpdateWindow(window_);
}

void TFormMain::SetHover(TMyPNGButton* button) {
  if (hover_ == button) return;
  if (hover_ && hover_->State().Leave()) hover_->Repaint();
  hover_ = button;
  if (hover_ && hover_->State().Enter()) hover_->Repaint();
}

void TFormMain::MouseDown(int x, int y, bool left, bool doubleClick) {
  auto* button = dynamic_cast<TMyPNGButton*>(ControlAt(x, y));
  if (!button) return;
  if (button->State().Press(left, doubleClick)) {
    captured_ = button;
    SetCapture(window_);
    button->Repaint();
  }
}

void TFormMain::MouseUp(int x, int y, bool left) {
  TMyPNGButton* button = captured_;
  if (!button) return;
  bool clicked = false;
  if (button->State().Release(left, button->Contains(x, y), clicked)) button->Repaint();
  if (!button->State().Captured()) {
    captured_ = nullptr;
    ReleaseCapture();
  }
  if (clicked) {
    const auto index = std::find(buttons_.begin(), buttons_.end(), button) - buttons_.begin();
    PostMessageA(window_, kClickMessage, static_cast<WPARAM>(index), 0);
  }
}

void TFormMain::MouseMove(int x, int y) {
  if (!tracking_) {
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window_, 0};
    tracking_ = TrackMouseEvent(&track) != 0;
  }
  if (TMyPNGButton* button = captured_) {
    // While the button holds the mouse, leaving and re-entering it still clears and sets the
    // pointer-over flag.
    const bool inside = button->Contains(x, y);
    if (inside != button->State().PointerOver() &&
        (inside ? button->State().Enter() : button->State().Leave())) {
      button->Repaint();
    }
    return;
  }
  auto* button = dynamic_cast<TMyPNGButton*>(ControlAt(x, y));
  SetHover(button);
  if (button && button->State().Move()) button->Repaint();
}

}  // namespace kova::ui
