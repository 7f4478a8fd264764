// SPDX-License-Identifier: MIT
// Which page is on view, and what OK (or Enter in a field) does there.
#include "gtkzorvpin.h"
#include "pinman_internal.h"

int g_curr_page = 0;

int page_at_position(int position) {
    const int shown[] = {g_showChangePin, g_showUnblockPin, g_showChangePuk};
    int visible = 0;
    for (int page = 0; page < kPageCount; ++page) {
        if (!shown[page])
            continue;
        if (visible == position)
            return page;
        ++visible;
    }
    return -1;
}

extern "C" G_MODULE_EXPORT void onChangePage(GtkNotebook* /*notebook*/,
                                             PinmanNotebookPage* /*page*/, guint page_num,
                                             gpointer /*user_data*/) {
    g_curr_page = static_cast<int>(page_num);
}

GladeXML* builder_of(gpointer user_data) {
    return user_data != nullptr && GLADE_IS_XML(user_data) ? static_cast<GladeXML*>(user_data)
                                                           : nullptr;
}

extern "C" G_MODULE_EXPORT void onClickBtnOk(GtkWidget* /*widget*/, gpointer user_data) {
    GladeXML* builder = static_cast<GladeXML*>(user_data);
    // One operation at a time: OK or Enter while the card works starts nothing.
    if (dialog_at_work())
        return;
    DialogAtWork work(builder_of(user_data));
    const int page = page_at_position(g_curr_page);
    if (page < 0)
        return;
    if (kPageTable[page].operation(builder) == 0)
        return;
    ShowMessage(_("Operation successfully completed"));
    ClearControls(builder);
}

void ClearControls(GladeXML* builder) {
    for (int page : kFieldOrder) {
        for (const char* name : kPageTable[page].fields) {
            GtkWidget* entry = glade_xml_get_widget(builder, name);
            if (entry != nullptr && GTK_IS_ENTRY(entry))
                gtk_entry_set_text(GTK_ENTRY(entry), "");
        }
    }
    const int page = page_at_position(g_curr_page);
    if (page < 0)
        return;
    GtkWidget* first = glade_xml_get_widget(builder, kPageTable[page].fields[0]);
    if (first != nullptr)
        gtk_widget_grab_focus(first);
}
