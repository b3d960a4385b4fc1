#include "ui/gtk/message_box.h"

#include "core/update_host.h"
#include "support/translation.h"
#include "ui/trace.h"

namespace kova::ui {
namespace {

constexpr int kTimedOut = 1000;  // the dialog's own response id for the time-out

gboolean TimeOut(gpointer dialog) {
  gtk_dialog_response(GTK_DIALOG(dialog), kTimedOut);
  return G_SOURCE_REMOVE;
}

}  // namespace

TBoxResult RetryBox(GtkWindow* owner, const std::string& caption, const std::string& text,
                    int timeoutMs) {
  GtkWidget* dialog = gtk_message_dialog_new(
      owner && gtk_widget_get_visible(GTK_WIDGET(owner)) ? owner : nullptr, GTK_DIALOG_MODAL,
      GTK_MESSAGE_ERROR, GTK_BUTTONS_NONE, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_dialog_add_buttons(GTK_DIALOG(dialog), Tr("_Retry"), static_cast<int>(TBoxResult::Retry),
                         Tr("_Cancel"), static_cast<int>(TBoxResult::Cancel), nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), static_cast<int>(TBoxResult::Retry));
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  guint timer = timeoutMs > 0 ? g_timeout_add(static_cast<guint>(timeoutMs), TimeOut, dialog) : 0;
  Trace("box: " + text);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  if (timer && response != kTimedOut) g_source_remove(timer);
  gtk_widget_destroy(dialog);
  if (response == kTimedOut) return TBoxResult::TimedOut;
  return response == static_cast<int>(TBoxResult::Retry) ? TBoxResult::Retry : TBoxResult::Cancel;
}

void ErrorBox(GtkWindow* owner, const std::string& caption, const std::string& text) {
  Trace("box: " + text);
  GtkWidget* dialog = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                             GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

void InformationBox(GtkWindow* owner, const std::string& caption, const std::string& text) {
  GtkWidget* dialog = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                             GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

}  // namespace kova::ui
