// SPDX-License-Identifier: MIT
// Building the main dialog: the interface file, masked fields, signals and hidden pages.
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>
#include <sys/resource.h>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

// The widgets the program looks up besides the pages' fields, with the kind each must be.
struct NeededWidget {
    const char* name;
    GType (*type)(void);
};
constexpr NeededWidget kNeededWidgets[] = {
    {"dialog1", gtk_window_get_type}, {"notebook1", gtk_notebook_get_type},
    {"BtnOk", gtk_button_get_type},   {"BtnCancel", gtk_button_get_type},
    {"BtnInfo", gtk_button_get_type},
};

int has_widget(GladeXML* builder, const char* name, GType type) {
    GtkWidget* widget = glade_xml_get_widget(builder, name);
    if (widget != nullptr && G_TYPE_CHECK_INSTANCE_TYPE(widget, type))
        return 1;
    fprintf(stderr, "The interface file has no %s named '%s'\n", g_type_name(type), name);
    return 0;
}

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
        gtk_notebook_remove_page(notebook, kChangePukPage);
    if (g_showUnblockPin == 0)
        gtk_notebook_remove_page(notebook, kUnblockPinPage);
    if (g_showChangePin == 0)
        gtk_notebook_remove_page(notebook, kChangePinPage);
}

}  // namespace

GladeXML* getBuilder(void) {
    char szGlade[PINMAN_PATH_SIZE] = {0};
    // A file that others may have written is as unusable as a missing one.
    if (!module_path_with_suffix(szGlade, ".glade") || !trusted_file(szGlade, nullptr))
        return nullptr;
    GladeXML* builder = glade_xml_new(szGlade, nullptr, nullptr);
    // A file that parses but lacks what the program uses is as unusable as a broken one.
    if (builder != nullptr && !has_program_widgets(builder)) {
        g_object_unref(builder);
        return nullptr;
    }
    return builder;
}

int has_program_widgets(GladeXML* builder) {
    for (const NeededWidget& needed : kNeededWidgets) {
        if (!has_widget(builder, needed.name, needed.type()))
            return 0;
    }
    for (const PageSpec& page : kPageTable) {
        for (const char* name : page.fields) {
            if (!has_widget(builder, name, GTK_TYPE_ENTRY))
                return 0;
        }
    }
    return 1;
}

void protect_secrets(void) {
    // Neither call can fail for these arguments; a failure would leave the defaults.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
}

void setup_dialog(GladeXML* builder) {
    GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
    gtk_window_set_title(GTK_WINDOW(window), _("Pin Manager"));
    // The installed icon, by its theme name, so that it follows the icon theme.
    gtk_window_set_icon_name(GTK_WINDOW(window), "gtkzorvpin");
    g_signal_connect(window, "destroy", G_CALLBACK(on_window_destroy), builder);

    for (int page : kFieldOrder)
        mask_and_wire_fields(builder, kPageTable[page].fields);

    gtk_widget_grab_focus(glade_xml_get_widget(builder, kPageTable[kChangePinPage].fields[0]));

    connect_clicked(builder, "BtnOk", G_CALLBACK(onClickBtnOk));
    connect_clicked(builder, "BtnCancel", G_CALLBACK(onClickBtnCancel));
    connect_clicked(builder, "BtnInfo", G_CALLBACK(onClickBtnInfo));
    GtkWidget* notebook = glade_xml_get_widget(builder, "notebook1");
    g_signal_connect(notebook, "switch-page", G_CALLBACK(onChangePage), nullptr);

    remove_hidden_pages(GTK_NOTEBOOK(notebook));
}
