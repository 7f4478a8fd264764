// SPDX-License-Identifier: MIT
// The modal message boxes and the two handlers that end the main loop.
#include <cstring>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

#if GTK_CHECK_VERSION(3, 0, 0)
// GTK 3's boxes show no icon of their kind, so an error would look like any other box: the
// theme's icon of the kind, as GTK 2 shows it, or its symbolic one where the theme has only
// that.
void show_kind_icon(GtkWidget* box, GtkMessageType type) {
    const char* error[] = {"dialog-error", "dialog-error-symbolic", nullptr};
    const char* information[] = {"dialog-information", "dialog-information-symbolic", nullptr};
    GIcon* icon = g_themed_icon_new_from_names(
        const_cast<char**>(type == GTK_MESSAGE_ERROR ? error : information), -1);
    GtkWidget* image = gtk_image_new_from_gicon(icon, GTK_ICON_SIZE_DIALOG);
    g_object_unref(icon);
    gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk_widget_show(image);
    // The one way GTK 3 offers to put an image in a box, kept though deprecated. It makes
    // the box's type "other", so the type (and the accessible name that says it) is set anew.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(box), image);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_object_set(box, "message-type", type, nullptr);
}
#endif

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
#if GTK_CHECK_VERSION(3, 0, 0)
    show_kind_icon(box, type);
#endif
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
extern "C" G_MODULE_EXPORT void on_window_destroy(PinmanDestroyed* /*object*/,
                                                  gpointer /*user_data*/) {
    leave_if_card_busy(0);
    gtk_main_quit();
}

extern "C" G_MODULE_EXPORT void onClickBtnCancel(GtkWidget* /*widget*/, gpointer /*user_data*/) {
    leave_if_card_busy(0);
    gtk_main_quit();
}
