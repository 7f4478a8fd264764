// SPDX-License-Identifier: MIT
// The modal message boxes and the two handlers that end the main loop.
#include <cstring>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

void run_message_box(GtkMessageType type, const char* message) {
    // GTK takes UTF-8 only: a text with other bytes (a path, say) is shown with them escaped.
    gchar* szValid = nullptr;
    if (!g_utf8_validate(message, -1, nullptr)) {
        const size_t len = strlen(message);
        szValid = static_cast<gchar*>(g_malloc(4 * len + 1));
        copy_valid_utf8(szValid, 4 * len + 1, message, len);
        message = szValid;
    }
    // "%s" keeps the text literal: a '%' in a card label or a translation stays a '%'.
    GtkWidget* box =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s", message);
    g_free(szValid);
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

// Both end the program with status 0: through the main loop, or at once while the card works
// (the handler that waits for the card cannot return before the card does).
extern "C" G_MODULE_EXPORT void on_window_destroy(GtkObject* /*object*/, gpointer /*user_data*/) {
    leave_if_card_busy(0);
    gtk_main_quit();
}

extern "C" G_MODULE_EXPORT void onClickBtnCancel(GtkWidget* /*widget*/, gpointer /*user_data*/) {
    leave_if_card_busy(0);
    gtk_main_quit();
}
