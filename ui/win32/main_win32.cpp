// Program entry of the Windows launcher: the command line, then the window and its message loop
// until the window closes.

#include <ole2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "core/options.h"
#include "core/startup.h"
#include "platform/main_loop.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "support/translation.h"
#include "ui/win32/form_main_win32.h"
#include "ui/win32/news_browser_win32.h"

namespace {

void RunWindow() {
  using namespace kova;
  const std::string& title = UpdaterOptions().Title;
  ui::TFormMain form(title.empty() ? Tr(kApplicationCaption) : title);
  form.Show();
  platform::WaitUntilServingMessages([&form] { return form.Closed(); });
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> params = kova::platform::ProgramParameters(argc, argv);
  // The browser control lives in this single-threaded apartment.
  const bool ole = SUCCEEDED(OleInitialize(nullptr));
  kova::ui::InstallRightButtonFilter();
  try {
    kova::TStartUpHost host;
    host.ShowInformation = kova::platform::InformationBox;
    if (!kova::StartUp(params, host)) RunWindow();
  } catch (...) {
    // Nothing escapes the entry; the program always ends normally.
  }
  kova::ui::RemoveRightButtonFilter();
  kova::InstanceMutex.reset();
  kova::FreeUpdaterOptions();
  if (ole) OleUninitialize();
  return 0;
}
