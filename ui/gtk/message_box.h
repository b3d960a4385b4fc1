#pragma once
// Modal message boxes with the application title as caption.
#include <gtk/gtk.h>

#include <string>

#include "core/update_host.h"

namespace kova::ui {

// Retry and Cancel with the error icon; Retry or Cancel, or TimedOut when `timeoutMs` is
// positive and passes without an answer.
TBoxResult RetryBox(GtkWindow* owner, const std::string& caption, const std::string& text,
                    int timeoutMs);
// One OK button with the error icon; returns when it is dismissed.
void ErrorBox(GtkWindow* owner, const std::string& caption, const std::string& text);
// One OK button with the information icon; returns when it is dismissed.
void InformationBox(GtkWindow* owner, const std::string& caption, const std::string& text);

}  // namespace kova::ui
