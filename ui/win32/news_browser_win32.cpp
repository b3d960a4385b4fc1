#include "ui/win32/news_browser_win32.h"

#include <downloadmgr.h>
#include <exdisp.h>
#include <exdispid.h>
#include <mshtmdid.h>
#include <mshtmhst.h>
#include <ole2.h>
#include <shellapi.h>
#include <shobjidl.h>
#include <urlmon.h>

#include <string>

#include "platform/main_loop.h"
#include "platform/win32/message_filter.h"
#include "platform/win32/shown_text.h"
#include "ui/form_rules.h"
#include "ui/trace.h"
#include "ui/win32/message_box_win32.h"

namespace kova::ui {
namespace {

// Images, videos and background sounds; no cache; silent.
constexpr LONG kDownloadControl =
    DLCTL_DLIMAGES | DLCTL_VIDEOS | DLCTL_BGSOUNDS | DLCTL_PRAGMA_NO_CACHE | DLCTL_SILENT;
// Dialog mode (no selection), no help menu, no 3-D border, no scroll bars, in-place navigation,
// no themes, no rating checks, untrusted protocols disabled.
constexpr DWORD kHostFlags = DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_DISABLE_HELP_MENU |
                             DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO |
                             DOCHOSTUIFLAG_FLAT_SCROLLBAR |
                             DOCHOSTUIFLAG_ENABLE_INPLACE_NAVIGATION | DOCHOSTUIFLAG_NOTHEME |
                             DOCHOSTUIFLAG_NOPICS | DOCHOSTUIFLAG_DISABLE_UNTRUSTEDPROTOCOL;
constexpr wchar_t kUserAgent[] = L"KovaUpdater/1.0";
// Declared by the headers, but missing from the import library's GUIDs.
constexpr IID kIidDocHostShowUI = {
    0xc4d244b0, 0xd43e, 0x11cf, {0x89, 0x3b, 0x00, 0xaa, 0x00, 0xbd, 0xce, 0x1a}};

// The services the control asks its host for before it would show a dialog of its own, with
// the GUIDs spelt out as above.
constexpr IID kIidAuthenticate = {
    0x79eac9d0, 0xbaf9, 0x11ce, {0x8c, 0x82, 0x00, 0xaa, 0x00, 0x4b, 0xa9, 0x0b}};
constexpr IID kIidWindowForBindingUI = {
    0x79eac9d5, 0xbafa, 0x11ce, {0x8c, 0x82, 0x00, 0xaa, 0x00, 0x4b, 0xa9, 0x0b}};
constexpr IID kIidHttpSecurity = {
    0x79eac9d7, 0xbafa, 0x11ce, {0x8c, 0x82, 0x00, 0xaa, 0x00, 0x4b, 0xa9, 0x0b}};
constexpr IID kIidDownloadManager = {
    0x988934a4, 0x064b, 0x11d3, {0xbb, 0x80, 0x00, 0x10, 0x4b, 0x35, 0xe7, 0xf9}};

// The news page asks the player nothing: a log-in is refused, a certificate problem cancels the
// request, and a download is taken as done with nothing saved, each without a dialog.
class TSilentServices final : public IAuthenticate, public IHttpSecurity, public IDownloadManager {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    *out = nullptr;
    if (riid == IID_IUnknown || riid == kIidAuthenticate)
      *out = static_cast<IAuthenticate*>(this);
    else if (riid == kIidHttpSecurity || riid == kIidWindowForBindingUI)
      *out = static_cast<IHttpSecurity*>(this);
    else if (riid == kIidDownloadManager)
      *out = static_cast<IDownloadManager*>(this);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP Authenticate(HWND* window, LPWSTR* user, LPWSTR* password) override {
    if (window) *window = nullptr;
    if (user) *user = nullptr;
    if (password) *password = nullptr;
    Trace("news: log-in refused");
    return E_ACCESSDENIED;
  }
  STDMETHODIMP GetWindow(REFGUID, HWND* window) override {
    if (window) *window = nullptr;  // no window to put a dialog on
    return S_FALSE;
  }
  STDMETHODIMP OnSecurityProblem(DWORD problem) override {
    Trace("news: certificate problem " + std::to_string(problem) + ", request cancelled");
    return E_ABORT;
  }
  STDMETHODIMP Download(IMoniker*, IBindCtx*, DWORD, LONG, BINDINFO*, LPCOLESTR, LPCOLESTR,
                        UINT) override {
    Trace("news: download refused");
    return S_OK;
  }

 private:
  ULONG references_ = 1;
};

std::string Narrow(const wchar_t* text) {
  if (!text || !*text) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

std::wstring Widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), n);
  out.resize(out.size() - 1);
  return out;
}

// The string inside an event's argument, which comes by value or by reference.
std::string ArgumentText(const VARIANT& v) {
  const VARIANT* inner = v.vt == (VT_BYREF | VT_VARIANT) ? v.pvarVal : &v;
  if (inner->vt == VT_BSTR) return Narrow(inner->bstrVal);
  if (inner->vt == (VT_BYREF | VT_BSTR)) return Narrow(*inner->pbstrVal);
  return {};
}

bool SameObject(IUnknown* a, IUnknown* b) {
  if (!a || !b) return false;
  IUnknown *ua = nullptr, *ub = nullptr;
  a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ua));
  b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ub));
  const bool same = ua && ua == ub;
  if (ua) ua->Release();
  if (ub) ub->Release();
  return same;
}

HHOOK rightButtonHook = nullptr;

LRESULT CALLBACK RightButtonFilter(int code, WPARAM wParam, LPARAM lParam) {
  if (code >= 0 && (wParam == WM_RBUTTONDOWN || wParam == WM_RBUTTONUP)) {
    const auto* mouse = reinterpret_cast<const MOUSEHOOKSTRUCT*>(lParam);
    char name[64] = {};
    if (mouse && GetClassNameA(mouse->hwnd, name, sizeof name) > 0 &&
        lstrcmpA(name, "Internet Explorer_Server") == 0) {
      Trace("news: right button swallowed");
      return 1;
    }
  }
  return CallNextHookEx(rightButtonHook, code, wParam, lParam);
}

// The one news control of the window, which the message loop gives its keys.
TNewsBrowser::THost* keyHost = nullptr;

}  // namespace

// The control's site: its client site and in-place site in the panel, its user-interface host
// (flags, no context menu, no dialogs), the ambient properties and the event sink in one
// IDispatch, and the new-window manager through IServiceProvider.
class TNewsBrowser::THost final : public IOleClientSite,
                                  public IOleInPlaceSite,
                                  public IOleInPlaceFrame,
                                  public IDocHostUIHandler,
                                  public IDocHostShowUI,
                                  public IDispatch,
                                  public IServiceProvider,
                                  public INewWindowManager {
 public:
  THost(HWND panel, std::function<void()> onTopLevelComplete)
      : panel_(panel), onTopLevelComplete_(std::move(onTopLevelComplete)) {}

  // Makes the control; false when the system has none.
  bool Create() {
    if (FAILED(CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                reinterpret_cast<void**>(&object_))))
      return false;
    object_->SetClientSite(this);
    RECT area;
    GetClientRect(panel_, &area);
    if (FAILED(object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0, panel_, &area)) ||
        FAILED(object_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_)))) {
      Destroy();
      return false;
    }
    browser_->put_Silent(VARIANT_TRUE);
    browser_->put_RegisterAsDropTarget(VARIANT_FALSE);
    IOleControl* control = nullptr;
    if (SUCCEEDED(object_->QueryInterface(IID_IOleControl, reinterpret_cast<void**>(&control)))) {
      // The control reads the download flags and the user agent from the site again.
      control->OnAmbientPropertyChange(DISPID_AMBIENT_DLCONTROL);
      control->OnAmbientPropertyChange(DISPID_AMBIENT_USERAGENT);
      control->Release();
    }
    IConnectionPointContainer* container = nullptr;
    if (SUCCEEDED(browser_->QueryInterface(IID_IConnectionPointContainer,
                                           reinterpret_cast<void**>(&container)))) {
      if (SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &events_)))
        events_->Advise(static_cast<IDispatch*>(this), &cookie_);
      container->Release();
    }
    return true;
  }

  void Destroy() {
    if (events_) {
      events_->Unadvise(cookie_);
      events_->Release();
      events_ = nullptr;
    }
    if (browser_) {
      browser_->Stop();
      browser_->Release();
      browser_ = nullptr;
    }
    if (object_) {
      object_->Close(OLECLOSE_NOSAVE);
      object_->SetClientSite(nullptr);
      object_->Release();
      object_ = nullptr;
    }
  }

  bool Navigate(const std::string& url) {
    if (!browser_) return false;
    BSTR address = SysAllocString(Widen(url).c_str());
    VARIANT empty;
    VariantInit(&empty);
    VARIANT headers;
    VariantInit(&headers);
    headers.vt = VT_BSTR;
    headers.bstrVal = SysAllocString(L"User-Agent: KovaUpdater/1.0\r\n");
    const HRESULT result = browser_->Navigate(address, &empty, &empty, &empty, &headers);
    VariantClear(&headers);
    SysFreeString(address);
    return SUCCEEDED(result);
  }

  // Gives a key meant for the page to the control first: an in-place active object takes its
  // accelerators (Tab between links, Ctrl+C) before the message is translated and dispatched.
  bool TranslateKey(MSG& message) {
    if (!browser_ || !panelVisible) return false;
    if (message.hwnd != panel_ && !IsChild(panel_, message.hwnd)) return false;
    IOleInPlaceActiveObject* active = nullptr;
    if (FAILED(browser_->QueryInterface(IID_IOleInPlaceActiveObject,
                                        reinterpret_cast<void**>(&active))))
      return false;
    const HRESULT taken = active->TranslateAccelerator(&message);
    active->Release();
    return taken == S_OK;
  }

  bool panelVisible = false;
  // The top-level document failed to load: true when another address is being loaded.
  std::function<bool()> onTopLevelFailed;

  // IUnknown.
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    *out = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOleClientSite)
      *out = static_cast<IOleClientSite*>(this);
    else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
      *out = static_cast<IOleInPlaceSite*>(this);
    else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
      *out = static_cast<IOleInPlaceFrame*>(this);
    else if (riid == IID_IDocHostUIHandler)
      *out = static_cast<IDocHostUIHandler*>(this);
    else if (riid == kIidDocHostShowUI)
      *out = static_cast<IDocHostShowUI*>(this);
    else if (riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2)
      *out = static_cast<IDispatch*>(this);
    else if (riid == IID_IServiceProvider)
      *out = static_cast<IServiceProvider*>(this);
    else if (riid == IID_INewWindowManager)
      *out = static_cast<INewWindowManager*>(this);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IOleClientSite.
  STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleWindow, IOleInPlaceSite.
  STDMETHODIMP GetWindow(HWND* out) override {
    *out = panel_;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnUIActivate() override { return S_OK; }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document,
                                LPRECT position, LPRECT clip, LPOLEINPLACEFRAMEINFO info) override {
    *frame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *document = nullptr;
    GetClientRect(panel_, position);
    GetClientRect(panel_, clip);
    info->fMDIApp = FALSE;
    info->hwndFrame = GetParent(panel_);
    info->haccel = nullptr;
    info->cAccelEntries = 0;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
  STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
  STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

  // IOleInPlaceUIWindow, IOleInPlaceFrame: the control gets no menus, borders or status line.
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  // IDocHostUIHandler.
  STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override {
    return S_OK;  // shown by the host, which shows none
  }
  STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override {
    info->dwFlags = kHostFlags;
    info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    return S_OK;
  }
  STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                      IOleInPlaceUIWindow*) override {
    return S_OK;
  }
  STDMETHODIMP HideUI() override { return S_OK; }
  STDMETHODIMP UpdateUI() override { return S_OK; }
  STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
  STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return S_FALSE; }
  STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD) override {
    *key = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetExternal(IDispatch** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* out) override {
    *out = nullptr;
    return S_FALSE;
  }
  STDMETHODIMP FilterDataObject(IDataObject*, IDataObject** out) override {
    *out = nullptr;
    return S_FALSE;
  }

  // IDocHostShowUI: the page's message boxes and help are answered without showing anything.
  STDMETHODIMP ShowMessage(HWND, LPOLESTR, LPOLESTR, DWORD, LPOLESTR, DWORD,
                           LRESULT* result) override {
    if (result) *result = IDCANCEL;
    return S_OK;
  }
  STDMETHODIMP ShowHelp(HWND, LPOLESTR, UINT, DWORD, POINT, IDispatch*) override { return S_OK; }

  // IDispatch: the ambient properties the control asks its site for, and its events.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    switch (id) {
      case DISPID_AMBIENT_DLCONTROL:
        if (!result) return E_POINTER;
        result->vt = VT_I4;
        result->lVal = kDownloadControl;
        return S_OK;
      case DISPID_AMBIENT_USERAGENT:
        if (!result) return E_POINTER;
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(kUserAgent);
        return S_OK;
      case DISPID_BEFORENAVIGATE2:
        if (params && params->cArgs >= 7) BeforeNavigate2(*params);
        return S_OK;
      case DISPID_NAVIGATECOMPLETE2:
        if (params && params->cArgs >= 2) NavigateComplete2(*params);
        return S_OK;
      case DISPID_NAVIGATEERROR:
        if (params && params->cArgs >= 5) NavigateError(*params);
        return S_OK;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  }

  // IServiceProvider.
  STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** out) override {
    if (service == SID_SNewWindowManager) return QueryInterface(riid, out);
    if (service == kIidAuthenticate || service == kIidHttpSecurity ||
        service == kIidWindowForBindingUI || service == kIidDownloadManager) {
      auto* services = new TSilentServices;
      const HRESULT result = services->QueryInterface(riid, out);
      services->Release();
      return result;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  // INewWindowManager: before the panel shows, the control's default; afterwards refused and
  // opened in the default browser.
  STDMETHODIMP EvaluateNewWindow(LPCWSTR url, LPCWSTR, LPCWSTR, LPCWSTR, BOOL, DWORD,
                                 DWORD) override {
    if (!panelVisible) return E_FAIL;
    OpenWithDefaultHandler(Narrow(url));
    return S_FALSE;
  }

 private:
  ~THost() = default;

  // Arguments come last to first: the browser, the URL, ... and the cancel flag last.
  void BeforeNavigate2(const DISPPARAMS& params) {
    if (!panelVisible) return;
    const std::string url = ArgumentText(params.rgvarg[5]);
    VARIANT& cancel = params.rgvarg[0];
    if (cancel.vt == (VT_BYREF | VT_BOOL)) *cancel.pboolVal = VARIANT_TRUE;
    if (!url.empty()) OpenWithDefaultHandler(url);
  }

  void NavigateComplete2(const DISPPARAMS& params) {
    const VARIANT& source = params.rgvarg[1];
    IUnknown* frame = source.vt == VT_DISPATCH ? source.pdispVal : nullptr;
    // The top-level document's, not one of its frames'.
    if (!SameObject(frame, browser_)) return;
    Trace("news: loaded");
    if (onTopLevelComplete_) onTopLevelComplete_();
  }

  // The browser, the URL, the frame, the status, and the cancel flag, last to first.
  void NavigateError(const DISPPARAMS& params) {
    const VARIANT& source = params.rgvarg[4];
    IUnknown* frame = source.vt == VT_DISPATCH ? source.pdispVal : nullptr;
    if (panelVisible || !SameObject(frame, browser_) || !onTopLevelFailed) return;
    Trace("news: failed " + ArgumentText(params.rgvarg[3]));
    VARIANT& cancel = params.rgvarg[0];
    // No error page while another address is left.
    if (onTopLevelFailed() && cancel.vt == (VT_BYREF | VT_BOOL)) *cancel.pboolVal = VARIANT_TRUE;
  }

  HWND panel_;
  std::function<void()> onTopLevelComplete_;
  ULONG references_ = 1;
  IOleObject* object_ = nullptr;
  IWebBrowser2* browser_ = nullptr;
  IConnectionPoint* events_ = nullptr;
  DWORD cookie_ = 0;
};

TNewsBrowser::TNewsBrowser(HWND panel, std::function<void()> onTopLevelComplete)
    : host_(new THost(panel, std::move(onTopLevelComplete))) {
  // The control clicks at every navigation, the news page's own included: not in a launcher.
  if (SUCCEEDED(CoInternetSetFeatureEnabled(FEATURE_DISABLE_NAVIGATION_SOUNDS,
                                            SET_FEATURE_ON_PROCESS, TRUE)))
    Trace("news: navigation sounds off");
  InstallDialogCloser();
  if (!host_->Create()) {
    Trace("news: no browser engine");
    host_->Destroy();
    return;
  }
  keyHost = host_;
  platform::SetMessageFilter([](MSG& message) {
    return message.message >= WM_KEYFIRST && message.message <= WM_KEYLAST && keyHost &&
           keyHost->TranslateKey(message);
  });
}

TNewsBrowser::~TNewsBrowser() {
  platform::SetMessageFilter(nullptr);
  keyHost = nullptr;
  RemoveDialogCloser();
  host_->Destroy();
  host_->Release();
}

void TNewsBrowser::Navigate(const std::vector<std::string>& addresses) {
  navigated_ = true;
  addresses_ = addresses;
  next_ = 0;
  host_->onTopLevelFailed = [this] { return NavigateNext(); };
  NavigateNext();
}

bool TNewsBrowser::NavigateNext() {
  while (next_ < addresses_.size()) {
    const std::string& url = addresses_[next_++];
    Trace("news: navigate " + url);
    if (host_->Navigate(url)) return true;
    Trace("news: not loaded");
  }
  return false;
}

void TNewsBrowser::SetPanelVisible(bool visible) {
  host_->panelVisible = visible;
}

void OpenWithDefaultHandler(const std::string& url) {
  if (!MayOpenWithHandler(url)) return;
  Trace("news: open " + url);
  // Not inside the control's own event: the shell may run a message loop or start a browser
  // that takes its time, and the control must first finish refusing the navigation.
  platform::PostToGuiThread([url] {
    const auto result = reinterpret_cast<INT_PTR>(ShellExecuteW(
        nullptr, L"open", platform::ShownText(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (result <= 32) Trace("news: cannot open " + url + " (" + std::to_string(result) + ")");
  });
}

void InstallRightButtonFilter() {
  if (!rightButtonHook)
    rightButtonHook = SetWindowsHookExA(WH_MOUSE, RightButtonFilter, nullptr, GetCurrentThreadId());
}

void RemoveRightButtonFilter() {
  if (rightButtonHook) UnhookWindowsHookEx(rightButtonHook);
  rightButtonHook = nullptr;
}

}  // namespace kova::ui
