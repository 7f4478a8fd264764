// SPDX-License-Identifier: MIT
// The yardstick for start-up time: the least a program does to show the main window of an
// interface file, with its title and its icon from the icon theme: through libglade (or the
// program's loader), or with MINIMAL_GTKBUILDER through GtkBuilder alone, on the file as the
// layer converts it.
#include <gtk/gtk.h>
#ifndef MINIMAL_GTKBUILDER
#include <glade/glade.h>
#endif

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc < 2)
        return 2;
#ifdef MINIMAL_GTKBUILDER
    GtkBuilder* builder = gtk_builder_new();
    if (gtk_builder_add_from_file(builder, argv[1], nullptr) == 0)
        return 1;
    GtkWidget* window = GTK_WIDGET(gtk_builder_get_object(builder, "dialog1"));
#else
    GladeXML* builder = glade_xml_new(argv[1], nullptr, nullptr);
    if (builder == nullptr)
        return 1;
    GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
#endif
    gtk_window_set_title(GTK_WINDOW(window), "Pin Manager");
    // As Pin Manager does: realising the window then loads the icon theme.
    gtk_window_set_icon_name(GTK_WINDOW(window), "gtkzorvpin");
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show(window);
    gtk_main();
    g_object_unref(builder);
    return 0;
}
