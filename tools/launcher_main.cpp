// The launcher where no window toolkit is built in: the command line, then the update run
// without a window. "/?" shows the help text in a message box where the system has one.

#include "core/headless_run.h"
#include "core/options.h"
#include "core/startup.h"
#include "platform/message_box.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  try {
    kova::TStartUpHost host;
    host.ShowInformation = kova::platform::InformationBox;
    if (!kova::StartUp(kova::platform::ProgramParameters(argc, argv), host))
      kova::RunWithoutWindow();
  } catch (...) {
    // Nothing escapes the entry; the program always ends normally.
  }
  kova::InstanceMutex.reset();
  kova::FreeUpdaterOptions();
  return 0;
}
