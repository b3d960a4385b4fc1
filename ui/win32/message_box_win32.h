#pragma once
// The launcher's modal message boxes with the application title as caption.
#include <windows.h>

#include <string>

#include "core/update_host.h"

namespace kova::ui {

// Retry and Cancel with the error icon. With a positive `timeoutMs` the box answers by itself
// with TBoxResult::TimedOut when that time passes without an answer.
TBoxResult RetryBox(HWND owner, const std::string& caption, const std::string& text, int timeoutMs);
// One OK button with the error icon; returns when it is dismissed.
void ErrorBox(HWND owner, const std::string& caption, const std::string& text);

}  // namespace kova::ui
