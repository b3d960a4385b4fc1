// Program entry of the GTK launcher: the command line, then the window and its message loop until
// the window closes. Without a display it runs without a window (core/headless_run.h).

#include <gtk/gtk.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/headless_run.h"
#include "core/options.h"
#include "core/startup.h"
#include "platform/process.h"
#include "support/translation.h"
#include "ui/gtk/form_main.h"
#include "ui/gtk/message_box.h"

namespace {

void RunWindow() {
  using namespace kova;
  const std::string& title = UpdaterOptions().Title;
  ui::TFormMain form(title.empty() ? Tr(kApplicationCaption) : title);
  form.Show();
  while (!form.Closed()) g_main_context_iteration(nullptr, TRUE);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> params = kova::platform::ProgramParameters(argc, argv);
  // GTK is given no arguments: the command line is the launcher's own.
  const bool display = gtk_init_check(nullptr, nullptr);
  try {
    kova::TStartUpHost host;
    if (display) {
      host.ShowInformation = [](const std::string& caption, const std::string& text) {
        kova::ui::InformationBox(nullptr, caption, kova::WithNewLines(text));
      };
    } else {
      host.ShowInformation = kova::PrintInformation;
    }
    if (!kova::StartUp(params, host)) {
      if (display) {
        RunWindow();
      } else {
        kova::RunWithoutWindow();
      }
    }
  } catch (...) {
    // Nothing escapes the entry; the program always ends normally.
  }
  kova::InstanceMutex.reset();
  kova::FreeUpdaterOptions();
  return 0;
}
