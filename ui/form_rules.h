#pragma once
// What both windows (GTK and Windows) decide the same way, without a toolkit: starting the game
// program, the trace of the buttons, and which links of the news page may reach the browser.
#include <string>

namespace kova::ui {

// Start: starts the game program unless it is missing from the game folder or already running
// (and only one copy may run). True when the window must then close (CloseUpdater), which a
// running copy prevents.
bool StartGameProgram();
// The trace line of the two buttons' enabled states.
void TraceButtons(bool start, bool check);
// Whether `url` may be opened with the desktop's handler now: a web or mail address, and at most
// kMaxHandlerStartsPerSecond a second (a page looping over window.open opens nothing more).
bool MayOpenWithHandler(const std::string& url);
constexpr std::size_t kMaxHandlerStartsPerSecond = 3;

}  // namespace kova::ui
