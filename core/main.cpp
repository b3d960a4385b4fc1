// Program entry. Until the window exists the launcher runs headless: it answers the command line
// and, when it goes on, makes the run the window's start timer would make (self-update included)
// with a console host, then serves the instance messages ("FOCUS==uid" is reported on standard
// output, "CLOSE==uid" ends it).

#include <cstdio>
#include <string>
#include <vector>

#include "core/console_host.h"
#include "core/options.h"
#include "core/startup.h"
#include "core/update_run.h"
#include "platform/files.h"
#include "platform/instance.h"

namespace {

void PrintInformation(const std::string& caption, const std::string& text) {
  std::string lines = text;
  for (char& c : lines) {
    if (c == '\r') c = '\n';
  }
  std::printf("%s\n\n%s\n", caption.c_str(), lines.c_str());
  std::fflush(stdout);
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
    std::printf("No instance identifier is configured: nothing to wait for.\n");
    std::fflush(stdout);
    return;
  }
  std::printf("Waiting for instance messages (send %s to end).\n", CloseMessageName(options.Uid).c_str());
  std::fflush(stdout);
  for (;;) {
    InstanceMutex->WaitForMessage(-1);
    for (const std::string& message : InstanceMutex->TakeMessages()) {
      const unsigned id = platform::RegisterWindowMessage(message);
      if (id == FocusMessage) {
        std::printf("Focus requested by another instance.\n");
        std::fflush(stdout);
      } else if (id == CloseMessage) {
        std::printf("Close requested.\n");
        std::fflush(stdout);
        return;
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Empty arguments are skipped, as an empty pair of quotes is on the command line.
  std::vector<std::string> params;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '\0') params.emplace_back(argv[i]);
  }
  try {
    kova::TStartUpHost host;
    host.ShowInformation = PrintInformation;
    if (!kova::StartUp(params, host)) RunWithoutWindow();
  } catch (...) {
    // Nothing escapes the entry; the program always ends normally.
  }
  kova::InstanceMutex.reset();
  kova::FreeUpdaterOptions();
  return 0;
}
