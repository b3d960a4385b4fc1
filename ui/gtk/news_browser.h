#pragma once
// The news page: a web view inside the window's news panel. It is loaded once; from the moment
// the panel shows it, every navigation and every new window is diverted to the desktop's default
// handler and the page stays as it is.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <string>
#include <vector>

namespace kova::ui {

class TNewsBrowser {
 public:
  // Creates the web view filling `panel`; `onTopLevelComplete` is called when the top-level
  // document has arrived (its navigation completed) and the panel must be shown.
  TNewsBrowser(GtkWidget* panel, std::function<void()> onTopLevelComplete);
  TNewsBrowser(const TNewsBrowser&) = delete;
  TNewsBrowser& operator=(const TNewsBrowser&) = delete;

  // Whether a navigation was made: the view then holds its page or an error page.
  bool HasDocument() const { return navigated_; }
  // Loads the first address; one that fails to load (no answer, an error status) before the
  // page shows gives way to the next.
  void Navigate(const std::vector<std::string>& addresses);
  // Set once the panel shows the page: navigations leave the browser from then on.
  void SetPanelVisible(bool visible) { panelVisible_ = visible; }

 private:
  static gboolean DecidePolicy(GtkWidget*, GObject* decision, int type, gpointer self);
  static void LoadChanged(GtkWidget*, int event, gpointer self);
  static gboolean LoadFailed(GtkWidget*, int event, gchar* uri, GError* error, gpointer self);
  // Loads the next address after one that failed; false when there is none.
  bool NavigateNext();
  static GtkWidget* CreateNewWindow(GtkWidget*, WebKitNavigationAction* action, gpointer self);
  // Opens the action's address with the desktop's default handler when the player asked for it
  // (a click) and it is a web or mail address; anything else is dropped.
  void Divert(WebKitNavigationAction* action);
  GtkWidget* view_ = nullptr;
  std::function<void()> onTopLevelComplete_;
  bool navigated_ = false;
  bool panelVisible_ = false;
  bool loaded_ = false;  // the page and everything it loads with it have arrived
  std::vector<std::string> addresses_;
  std::size_t next_ = 0;  // the address to try when the one loading fails
};

// Opens `url` with the desktop's default handler (xdg-open); KOVA_URL_HANDLER names another
// command, which gets the URL as its only argument. Only what MayOpenWithHandler lets through.
void OpenWithDefaultHandler(const std::string& url);

}  // namespace kova::ui
