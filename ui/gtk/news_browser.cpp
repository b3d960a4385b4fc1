#include "ui/gtk/news_browser.h"

#include <webkit2/webkit2.h>

#include <cstdlib>

#include "platform/process.h"
#include "ui/form_rules.h"
#include "ui/trace.h"

namespace kova::ui {
namespace {

gboolean NoContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                       gpointer) {
  return TRUE;  // handled: no menu of any kind
}

gboolean NoRightButton(GtkWidget*, GdkEventButton* event, gpointer) {
  if (event->button != 3) return FALSE;
  Trace("news: right button swallowed");
  return TRUE;
}

gboolean CloseScriptDialog(WebKitWebView*, WebKitScriptDialog*, gpointer) {
  return TRUE;  // handled without showing anything
}

// The page opens no dialog of any kind over the launcher: no print dialog, no file chooser, no
// log-in box, no permission question, no full screen.
gboolean NoPrintDialog(WebKitWebView*, WebKitPrintOperation*, gpointer) {
  Trace("news: print refused");
  return TRUE;
}

gboolean NoFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer) {
  Trace("news: file chooser refused");
  webkit_file_chooser_request_cancel(request);
  return TRUE;
}

gboolean NoAuthentication(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer) {
  Trace("news: authentication refused");
  webkit_authentication_request_cancel(request);
  return TRUE;
}

gboolean NoPermission(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  webkit_permission_request_deny(request);
  return TRUE;
}

gboolean NoFullScreen(WebKitWebView*, gpointer) {
  return TRUE;
}

// The host's look: no text selection, as in a dialog, and no scroll bars.
const char kHostStyle[] =
    "* { -webkit-user-select: none !important; user-select: none !important; }\n"
    "::-webkit-scrollbar { display: none !important; width: 0 !important; height: 0 !important; }\n"
    "html { scrollbar-width: none !important; }\n";

}  // namespace

TNewsBrowser::TNewsBrowser(GtkWidget* panel, std::function<void()> onTopLevelComplete)
    : onTopLevelComplete_(std::move(onTopLevelComplete)) {
  // An ephemeral context keeps nothing on disk: no cache, no cookies, no local storage.
  WebKitWebContext* context = webkit_web_context_new_ephemeral();
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  WebKitUserStyleSheet* style =
      webkit_user_style_sheet_new(kHostStyle, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                  WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
  webkit_user_content_manager_add_style_sheet(content, style);
  webkit_user_style_sheet_unref(style);
  view_ = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                  "user-content-manager", content, nullptr));
  g_object_unref(content);
  g_object_unref(context);
  WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view_));
  webkit_settings_set_user_agent(settings, "KovaUpdater/1.0");
  webkit_settings_set_enable_javascript(settings, TRUE);
  webkit_settings_set_auto_load_images(settings, TRUE);
  webkit_settings_set_enable_media(settings, TRUE);
  webkit_settings_set_hardware_acceleration_policy(settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  // Every window the page opens is seen, to be sent to the default browser or refused.
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  webkit_settings_set_enable_fullscreen(settings, FALSE);
  // No drops: files or links dropped on the page do nothing.
  gtk_drag_dest_unset(view_);
  g_signal_connect(view_, "context-menu", G_CALLBACK(NoContextMenu), nullptr);
  g_signal_connect(view_, "button-press-event", G_CALLBACK(NoRightButton), nullptr);
  g_signal_connect(view_, "button-release-event", G_CALLBACK(NoRightButton), nullptr);
  g_signal_connect(view_, "script-dialog", G_CALLBACK(CloseScriptDialog), nullptr);
  g_signal_connect(view_, "print", G_CALLBACK(NoPrintDialog), nullptr);
  g_signal_connect(view_, "run-file-chooser", G_CALLBACK(NoFileChooser), nullptr);
  g_signal_connect(view_, "authenticate", G_CALLBACK(NoAuthentication), nullptr);
  g_signal_connect(view_, "permission-request", G_CALLBACK(NoPermission), nullptr);
  g_signal_connect(view_, "enter-fullscreen", G_CALLBACK(NoFullScreen), nullptr);
  g_signal_connect(view_, "create", G_CALLBACK(CreateNewWindow), this);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(DecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(LoadChanged), this);
  g_signal_connect(view_, "load-failed", G_CALLBACK(LoadFailed), this);
  gtk_container_add(GTK_CONTAINER(panel), view_);
  gtk_widget_show(view_);
}

void TNewsBrowser::Navigate(const std::vector<std::string>& addresses) {
  navigated_ = true;
  addresses_ = addresses;
  next_ = 0;
  NavigateNext();
}

bool TNewsBrowser::NavigateNext() {
  if (next_ >= addresses_.size()) return false;
  const std::string& url = addresses_[next_++];
  Trace("news: navigate " + url);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_), url.c_str());
  return true;
}

gboolean TNewsBrowser::LoadFailed(GtkWidget*, int, gchar* uri, GError* error, gpointer self) {
  auto* browser = static_cast<TNewsBrowser*>(self);
  // A load given up for the next one, or stopped for its error status (which moved on
  // already), is no failure to act on.
  if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
      g_error_matches(error, WEBKIT_POLICY_ERROR,
                      WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
      browser->panelVisible_)
    return FALSE;
  Trace(std::string("news: failed ") + (uri ? uri : ""));
  return browser->NavigateNext();  // handled: no error page while another address is left
}

gboolean TNewsBrowser::DecidePolicy(GtkWidget*, GObject* decision, int type, gpointer self) {
  auto* browser = static_cast<TNewsBrowser*>(self);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    // The page itself answered with an error (a 404, a 503): the next address, while there is
    // one and the page has not shown.
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    const unsigned status =
        webkit_uri_response_get_status_code(webkit_response_policy_decision_get_response(response));
    if (browser->panelVisible_ || status < 400 ||
        !webkit_response_policy_decision_is_main_frame_main_resource(response) ||
        browser->next_ >= browser->addresses_.size())
      return FALSE;  // the default handling
    webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
    Trace("news: failed with " + std::to_string(status));
    browser->NavigateNext();
    return TRUE;
  }
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
      type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    return FALSE;
  }
  // Before the page is shown its own load, redirections and frames proceed, and a new window
  // gets the view's default handling.
  if (!browser->panelVisible_) return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  // The page's own frames still arriving with it load where they belong.
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && !browser->loaded_ &&
      !webkit_navigation_action_is_user_gesture(action)) {
    return FALSE;
  }
  webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
  browser->Divert(action);
  return TRUE;
}

GtkWidget* TNewsBrowser::CreateNewWindow(GtkWidget*, WebKitNavigationAction* action,
                                         gpointer self) {
  // A window the page opens itself (window.open) is never made here: once the page is shown it
  // is handled as a link with a target; before that it is left alone, as the view's default
  // handling of a new window is to make none.
  auto* browser = static_cast<TNewsBrowser*>(self);
  if (browser->panelVisible_) browser->Divert(action);
  return nullptr;
}

void TNewsBrowser::Divert(WebKitNavigationAction* action) {
  WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
  const std::string uri =
      request && webkit_uri_request_get_uri(request) ? webkit_uri_request_get_uri(request) : "";
  if (uri.empty()) return;
  // Only the player opens the browser: a page's timers, refreshes and frames do not, and
  // nothing but a web or mail address is handed on.
  const std::string scheme = uri.substr(0, uri.find(':'));
  const bool web = g_ascii_strcasecmp(scheme.c_str(), "http") == 0 ||
                   g_ascii_strcasecmp(scheme.c_str(), "https") == 0 ||
                   g_ascii_strcasecmp(scheme.c_str(), "mailto") == 0;
  if (!webkit_navigation_action_is_user_gesture(action) || !web ||
      uri.find(':') == std::string::npos) {
    Trace("news: refused " + uri);
    return;
  }
  OpenWithDefaultHandler(uri);
}

void TNewsBrowser::LoadChanged(GtkWidget*, int event, gpointer self) {
  auto* browser = static_cast<TNewsBrowser*>(self);
  // load-changed is reported for the top-level document only. The panel shows once its document
  // has arrived and is being laid out, as a browser control reports a completed navigation:
  // a slow picture or script on the page does not keep the news hidden.
  if (event == WEBKIT_LOAD_COMMITTED) {
    Trace("news: loaded");
    if (browser->onTopLevelComplete_) browser->onTopLevelComplete_();
  } else if (event == WEBKIT_LOAD_FINISHED) {
    browser->loaded_ = true;
  }
}

void OpenWithDefaultHandler(const std::string& url) {
  if (!MayOpenWithHandler(url)) return;
  const char* replaced = std::getenv("KOVA_URL_HANDLER");
  std::string program = replaced && *replaced ? replaced : "xdg-open";
  if (program.find('/') == std::string::npos) {
    gchar* found = g_find_program_in_path(program.c_str());
    if (!found) return;
    program = found;
    g_free(found);
  }
  Trace("news: open " + url);
  platform::SpawnDetached(program, {url}, "");
}

}  // namespace kova::ui
