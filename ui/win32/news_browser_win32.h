#pragma once
// The news page: the system's WebBrowser control hosted in the window's news panel. It is loaded
// once; from the moment the panel shows it, every navigation and every new window is handed to
// the default browser and the page stays as it is. The control asks for nothing: no context menu,
// no drops, no dialogs, no script errors. Where the system has no browser engine the control
// cannot be made or loads nothing, and the panel stays hidden.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace kova::ui {

class TNewsBrowser {
 public:
  // Creates the control filling `panel`; `onTopLevelComplete` is called when the top-level
  // document's navigation has completed and the panel must be shown.
  TNewsBrowser(HWND panel, std::function<void()> onTopLevelComplete);
  ~TNewsBrowser();
  TNewsBrowser(const TNewsBrowser&) = delete;
  TNewsBrowser& operator=(const TNewsBrowser&) = delete;

  // Whether a navigation was made: the control then holds its page or an error page.
  bool HasDocument() const { return navigated_; }
  // Loads the first address; one that fails to load (no answer, an error status) before the
  // page shows gives way to the next.
  void Navigate(const std::vector<std::string>& addresses);
  void SetPanelVisible(bool visible);

  class THost;

 private:
  THost* host_ = nullptr;  // reference-counted: the control may hold it a little longer
  bool navigated_ = false;
  std::vector<std::string> addresses_;
  std::size_t next_ = 0;  // the address to try when the one loading fails
  // Loads the next address after one that failed; false when there is none.
  bool NavigateNext();
};

// Opens `url` with the system's default handler when it is a web or mail address, at most
// three a second.
void OpenWithDefaultHandler(const std::string& url);

// Swallows right-button presses and releases on the browser's document window, so the page
// never shows a context menu. Installed on the GUI thread before the window is made.
void InstallRightButtonFilter();
void RemoveRightButtonFilter();

}  // namespace kova::ui
