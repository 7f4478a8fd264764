// Which page is on view, and what OK (or Enter in a field) does there.
#include "gtkzorvpin.h"

int g_curr_page = 0;

namespace {

enum Page { kChangePinPage = 0, kUnblockPinPage = 1, kChangePukPage = 2 };

// Each page's operation and its first field, in page order.
struct PageAction {
    int (*operation)(GladeXML*);
    const char* firstField;
};
constexpr PageAction kPages[] = {
    {ChangePin, "entryOld"},
    {UnblockPin, "entry1"},
    {ChangePuk, "entryOldPuk"},
};

// All nine fields, in the order a success empties them.
constexpr const char* kAllFields[] = {"entry1",      "entry2",      "entry3",
                                      "entryOld",    "entryNew",    "entryConfirm",
                                      "entryOldPuk", "entryNewPuk", "entryConfirmPuk"};

void show_success(void) {
    GtkWidget* box =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s",
                               _("Operation successfully completed"));
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

}  // namespace

int page_at_position(int position) {
    const int shown[] = {g_showChangePin, g_showUnblockPin, g_showChangePuk};
    int visible = 0;
    for (int page = kChangePinPage; page <= kChangePukPage; ++page) {
        if (!shown[page])
            continue;
        if (visible == position)
            return page;
        ++visible;
    }
    return -1;
}

extern "C" G_MODULE_EXPORT void onChangePage(GtkNotebook* /*notebook*/, GtkNotebookPage* /*page*/,
                                             guint page_num, gpointer /*user_data*/) {
    g_curr_page = static_cast<int>(page_num);
}

extern "C" G_MODULE_EXPORT void onClickBtnOk(GtkWidget* /*widget*/, gpointer user_data) {
    GladeXML* builder = static_cast<GladeXML*>(user_data);
    const int page = page_at_position(g_curr_page);
    if (page < 0)
        return;
    if (kPages[page].operation(builder) == 0)
        return;
    show_success();
    ClearControls(builder);
}

void ClearControls(GladeXML* builder) {
    for (const char* name : kAllFields) {
        GtkWidget* entry = glade_xml_get_widget(builder, name);
        if (entry != nullptr && GTK_IS_ENTRY(entry))
            gtk_entry_set_text(GTK_ENTRY(entry), "");
    }
    const int page = page_at_position(g_curr_page);
    if (page < 0)
        return;
    GtkWidget* first = glade_xml_get_widget(builder, kPages[page].firstField);
    if (first != nullptr)
        gtk_widget_grab_focus(first);
}
