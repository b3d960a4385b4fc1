// The launcher without a window.

#include "core/headless_run.h"

#include <cstdio>

#include "core/console_host.h"
#include "core/options.h"
#include "core/startup.h"
#include "core/update_run.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/main_loop.h"

namespace kova {

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

void RunWithoutWindow() {
  InitHomeState(GameFolder);
  const TUpdaterOptions& options = UpdaterOptions();
  std::printf("%s running without a window; home folder %s\n", kApplicationName,
              options.HomeDir().c_str());
  std::fflush(stdout);
  {
    TConsoleHost host(3, stdout, stderr, false);
    TUpdateRun run(host);
    run.SetBundle(BundlePath);
    run.UpdateRun(true);
    if (host.CloseRequested()) return;  // a newer build has taken over
  }
  if (!InstanceMutex) {
    std::printf("No single-instance lock is held: nothing to wait for.\n");
    std::fflush(stdout);
    return;
  }
  std::printf("Waiting for instance messages (send %s to end).\n",
              CloseMessageName(options.Uid).c_str());
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

}  // namespace kova
