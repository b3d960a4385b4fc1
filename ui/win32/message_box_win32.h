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
// MessageBoxA for the launcher's own boxes: the dialog it makes is the launcher's, which the
// closer of the news page's dialogs leaves open.
int OwnMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT style);

// While installed, every dialog box that comes up on this thread and is not one of the
// launcher's own boxes (a log-in, certificate, download, print or script dialog that the news
// control opens for its page) is closed as soon as it is activated, as if cancelled.
void InstallDialogCloser();
void RemoveDialogCloser();

}  // namespace kova::ui
