// SPDX-License-Identifier: MIT
// The modal message boxes and the two handlers that end the main loop.
#include "gtkzorvpin.h"

namespace {

void run_message_box(GtkMessageType type, const char* message) {
    // "%s" keeps the text literal: a '%' in a card label or a translation stays a '%'.
    GtkWidget* box =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s", message);
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

}  // namespace

void ShowMessage(const char* message) {
    run_message_box(GTK_MESSAGE_INFO, message);
}

void ShowMessageError(const char* message) {
    run_message_box(GTK_MESSAGE_ERROR, message);
}

extern "C" G_MODULE_EXPORT void on_window_destroy(GtkObject* /*object*/, gpointer /*user_data*/) {
    gtk_main_quit();
}

extern "C" G_MODULE_EXPORT void onClickBtnCancel(GtkWidget* /*widget*/, gpointer /*user_data*/) {
    gtk_main_quit();
}
