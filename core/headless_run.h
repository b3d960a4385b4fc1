#pragma once
// The launcher without a window, for a machine without a display and for a build without a
// window toolkit: it makes the run that the window's start timer would make (self-update
// included) with a console host, then serves the instance messages: "FOCUS==uid" is reported on
// standard output, "CLOSE==uid" ends it.

#include <string>

namespace kova {

void RunWithoutWindow();

// The help text separates its lines with a single carriage return; a console wants line feeds.
std::string WithNewLines(std::string text);
// Shows an information text with its caption on standard output.
void PrintInformation(const std::string& caption, const std::string& text);

}  // namespace kova
