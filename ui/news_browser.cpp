#include "ui/news_browser.h"

#include <webkit2/webkit2.h>

#include <cstdlib>

#include "platform/process.h"
#include "ui/trace.h"

namespace kova::ui {
namespace {

gboolean NoContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*, gpointer) {
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

}  // namespace

TNewsBrowser::TNewsBrowser(GtkWidget* panel, std::function<void()> onTopLevelComplete)
    : onTopLevelComplete_(std::move(onTopLevelComplete)) {
  // An ephemeral context keeps nothing on disk: no cache, no cookies, no local storage.
  WebKitWebContext* context = webkit_web_context_new_ephemeral();
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  view_ = webkit_web_view_new_with_context(context);
  g_object_unref(context);
  WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(view_));
  webkit_settings_set_user_agent(settings, "KovaUpdater/1.0");
  webkit_settings_set_enable_javascript(settings, TRUE);
  webkit_settings_set_auto_load_images(settings, TRUE);
  webkit_settings_set_enable_media(settings, TRUE);
  webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  // No drops: files or links dropped on the page do nothing.
  gtk_drag_dest_unset(view_);
  g_signal_connect(view_, "context-menu", G_CALLBACK(NoContextMenu), nullptr);
  g_signal_connect(view_, "button-press-event", G_CALLBACK(NoRightButton), nullptr);
  g_signal_connect(view_, "button-release-event", G_CALLBACK(NoRightButton), nullptr);
  g_signal_connect(view_, "script-dialog", G_CALLBACK(CloseScriptDialog), nullptr);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(DecidePolicy), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(LoadChanged), this);
  gtk_container_add(GTK_CONTAINER(panel), view_);
  gtk_widget_show(view_);
}

void TNewsBrowser::Navigate(const std::string& url) {
  navigated_ = true;
  Trace("news: navigate " + url);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_), url.c_str());
}

gboolean TNewsBrowser::DecidePolicy(GtkWidget*, GObject* decision, int type, gpointer self) {
  auto* browser = static_cast<TNewsBrowser*>(self);
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    return FALSE;  // responses: the default handling
  }
  // Before the page is shown its own load, redirections and frames proceed, and a new window
  // gets the view's default handling.
  if (!browser->panelVisible_) return FALSE;
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
  if (uri && *uri) OpenWithDefaultHandler(uri);
  return TRUE;
}

void TNewsBrowser::LoadChanged(GtkWidget*, int event, gpointer self) {
  auto* browser = static_cast<TNewsBrowser*>(self);
  // load-changed is reported for the top-level document only.
  if (event == WEBKIT_LOAD_FINISHED) {
    Trace("news: loaded");
    if (browser->onTopLevelComplete_) browser->onTopLevelComplete_();
  }
}

void OpenWithDefaultHandler(const std::string& url) {
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
