// Program entry: the command line, then the window and its message loop until the window closes.
// Without a display the launcher runs headless instead: it makes the run the window's start timer
// would make (self-update included) with a console host, then serves the instance messages
// ("FOCUS==uid" is reported on standard output, "CLOSE==uid" ends it).

#include <gtk/gtk.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/console_host.h"
#include "core/options.h"
#include "core/startup.h"
#include "core/update_run.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/main_loop.h"
#include "ui/form_main.h"
#include "ui/message_box.h"

namespace {

// The help text separates its lines with a single carriage return.
std::string WithNewLines(std::string text) {
  for (char& c : text) {
    if (c == '\r') c = '\n';
  }
  return text;
}

void PrintInformation(const std::string& caption, const std::string& text) {
  std::printf("%s\n\n%s\n", caption.c_str(), WithNewLines(text).c_str());
  std::fflush(stdout);
}

void RunWindow() {
  using namespace kova;
  const std::string& title = UpdaterOptions().Title;
  ui::TFormMain form(title.empty() ? kApplicationCaption : title);
  form.Show();
  while (!form.Closed()) g_main_context_iteration(nullptr, TRUE);
}

void RunWithoutWindow() {
  using namespace kova;
  InitHomeState(platform::ExecutablePath());
  const TUpdaterOptions& options = UpdaterOptions();
  std::printf("%s running without a window; home folder %s\n", kApplicationName, options.HomeDir().c_str());
  std::fflush(stdout);
  {
    TConsoleHost host(3, stdout, stderr, false);
    TUpdateRun run(host);
    run.UpdateRun(true);
    if (host.CloseRequested()) return;  // a newer build has taken over
  }
  if (!InstanceMutex) {
    std::printf("No single-instance lock is held: nothing to wait for.\n");
    std::fflush(stdout);
    return;
  }
  std::printf("Waiting for instance messages (send %s to end).\n", CloseMessageName(options.Uid).c_str());
  std::fflush(stdout);
  bool closed = false;
  InstanceMutex->ServeMessages({FocusMessageName(options.Uid), CloseMessageName(options.Uid)},
                               [&closed](const std::string& message) {
                                 if (platform::RegisterMessage(message) == CloseMessage) {
                                   std::printf("Close requested.\n");
                                   closed = true;
                                   platform::WakeGuiThread();
                                 } else {
                                   std::printf("Focus requested by another instance.\n");
                                 }
                                 std::fflush(stdout);
                               });
  platform::WaitUntilServingMessages([&closed] { return closed; });
  InstanceMutex->ServeMessages({}, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // Empty arguments are skipped, as an empty pair of quotes is on the command line.
  std::vector<std::string> params;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') params.emplace_back(argv[i]);
  }
  // GTK is given no arguments: the command line is the launcher's own.
  const bool display = gtk_init_check(nullptr, nullptr);
  try {
    kova::TStartUpHost host;
    if (display) {
      host.ShowInformation = [](const std::string& caption, const std::string& text) {
        kova::ui::InformationBox(nullptr, caption, WithNewLines(text));
      };
    } else {
      host.ShowInformation = PrintInformation;
    }
    if (!kova::StartUp(params, host)) {
      if (display) {
        RunWindow();
      } else {
        RunWithoutWindow();
      }
    }
  } catch (...) {
    // Nothing escapes the entry; the program always ends normally.
  }
  kova::InstanceMutex.reset();
  kova::FreeUpdaterOptions();
  return 0;
}
