// Building the main dialog: the interface file, masked fields, signals and hidden pages.
#include <cstdio>
#include <cstring>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

// The three pages' fields in the order start-up masks and wires them.
constexpr const char* kWiredFields[] = {
    "entry1",      "entry2",      "entry3",           // Unblock PIN page
    "entryOld",    "entryNew",    "entryConfirm",     // Change PIN page
    "entryOldPuk", "entryNewPuk", "entryConfirmPuk",  // Change PUK page
};

void mask_and_wire_fields(GladeXML* builder, const char* const* names) {
    for (int i = 0; i < 3; ++i) {
        GtkWidget* entry = glade_xml_get_widget(builder, names[i]);
        gtk_entry_set_invisible_char(GTK_ENTRY(entry), '*');
        gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
    }
    for (int i = 0; i < 3; ++i) {
        g_signal_connect(glade_xml_get_widget(builder, names[i]), "activate",
                         G_CALLBACK(onClickBtnOk), builder);
    }
}

void connect_clicked(GladeXML* builder, const char* name, GCallback handler) {
    g_signal_connect(glade_xml_get_widget(builder, name), "clicked", handler, builder);
}

void remove_hidden_pages(GtkNotebook* notebook) {
    // Highest index first, so that each index still names the page's place in the file.
    if (g_showChangePuk == 0)
        gtk_notebook_remove_page(notebook, 2);
    if (g_showUnblockPin == 0)
        gtk_notebook_remove_page(notebook, 1);
    if (g_showChangePin == 0)
        gtk_notebook_remove_page(notebook, 0);
}

}  // namespace

GladeXML* getBuilder(void) {
    char szGlade[PINMAN_PATH_SIZE] = {0};
    if (!module_path_with_suffix(szGlade, ".glade"))
        return nullptr;
    return glade_xml_new(szGlade, nullptr, nullptr);
}

void setup_dialog(GladeXML* builder) {
    GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
    gtk_window_set_title(GTK_WINDOW(window), _("Pin Manager"));
    // The installed icon, by its theme name, so that it follows the icon theme.
    gtk_window_set_icon_name(GTK_WINDOW(window), "gtkzorvpin");
    g_signal_connect(window, "destroy", G_CALLBACK(on_window_destroy), builder);

    for (int page = 0; page < 3; ++page)
        mask_and_wire_fields(builder, &kWiredFields[3 * page]);

    gtk_widget_grab_focus(glade_xml_get_widget(builder, "entryOld"));

    connect_clicked(builder, "BtnOk", G_CALLBACK(onClickBtnOk));
    connect_clicked(builder, "BtnCancel", G_CALLBACK(onClickBtnCancel));
    connect_clicked(builder, "BtnInfo", G_CALLBACK(onClickBtnInfo));
    GtkWidget* notebook = glade_xml_get_widget(builder, "notebook1");
    g_signal_connect(notebook, "switch-page", G_CALLBACK(onChangePage), nullptr);

    remove_hidden_pages(GTK_NOTEBOOK(notebook));
}
