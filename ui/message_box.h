#pragma once
// Modal message boxes with the application title as caption.
#include <gtk/gtk.h>

#include <string>

namespace kova::ui {

// Retry and Cancel with the error icon; IDRETRY or IDCANCEL, or MB_TIMEDOUT when `timeoutMs` is
// positive and passes without an answer.
int RetryBox(GtkWindow* owner, const std::string& caption, const std::string& text, int timeoutMs);
// One OK button with the information icon; returns when it is dismissed.
void InformationBox(GtkWindow* owner, const std::string& caption, const std::string& text);

}  // namespace kova::ui
