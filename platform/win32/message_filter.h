#pragma once
// A look at the window messages the launcher's message loop takes from the queue, before they
// are translated and dispatched: the hosted news control takes its keyboard accelerators (Tab
// between its links, Ctrl+C) there, as an in-place active object must be given them.
#include <windows.h>

namespace kova::platform {

// Returns true when it has handled the message, which is then not dispatched.
using TMessageFilter = bool (*)(MSG& message);

// One filter at a time; nullptr removes it.
void SetMessageFilter(TMessageFilter filter);

}  // namespace kova::platform
