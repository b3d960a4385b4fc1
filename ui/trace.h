#pragma once
// A line per observable change of the window (information line, panel, tray, balloon) on
// standard error when KOVA_TRACE is set, so that tests and scripts can follow the window.
#include <string>

namespace kova::ui {
bool TraceEnabled();
void Trace(const std::string& line);
}  // namespace kova::ui
