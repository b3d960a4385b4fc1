#pragma once
// The news page: a web view inside the window's news panel. It is loaded once; from the moment
// the panel shows it, every navigation and every new window is diverted to the desktop's default
// handler and the page stays as it is.
#include <gtk/gtk.h>

#include <functional>
#include <string>

namespace kova::ui {

class TNewsBrowser {
 public:
  // Creates the web view filling `panel`; `onShown` is called when the top-level document has
  // loaded and the panel must be shown.
  TNewsBrowser(GtkWidget* panel, std::function<void()> onTopLevelComplete);
  TNewsBrowser(const TNewsBrowser&) = delete;
  TNewsBrowser& operator=(const TNewsBrowser&) = delete;

  // Whether a navigation was made: the view then holds its page or an error page.
  bool HasDocument() const { return navigated_; }
  void Navigate(const std::string& url);
  // Set once the panel shows the page: navigations leave the browser from then on.
  void SetPanelVisible(bool visible) { panelVisible_ = visible; }

 private:
  static gboolean DecidePolicy(GtkWidget*, GObject* decision, int type, gpointer self);
  static void LoadChanged(GtkWidget*, int event, gpointer self);
  GtkWidget* view_ = nullptr;
  std::function<void()> onTopLevelComplete_;
  bool navigated_ = false;
  bool panelVisible_ = false;
};

// Opens `url` with the desktop's default handler (xdg-open); KOVA_URL_HANDLER names another
// command, which gets the URL as its only argument.
void OpenWithDefaultHandler(const std::string& url);

}  // namespace kova::ui
