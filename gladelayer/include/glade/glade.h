// SPDX-License-Identifier: MIT
// The libglade 2 calls Pin Manager makes, answered by the layer on GtkBuilder.
#ifndef GLADELAYER_GLADE_H
#define GLADELAYER_GLADE_H

#include <gtk/gtk.h>

G_BEGIN_DECLS

/* A widget tree built from an interface file; a GObject (g_object_unref releases it and
 * leaves the widgets to GTK). */
typedef struct _GladeXML GladeXML;

#define GLADE_TYPE_XML (glade_xml_get_type())
#define GLADE_XML(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GLADE_TYPE_XML, GladeXML))
#define GLADE_IS_XML(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), GLADE_TYPE_XML))

GType glade_xml_get_type(void);

/* As libglade's: the whole file (`root` must be NULL) translated in `domain` (NULL: the
 * current text domain). NULL, after a warning and with nothing built, when the file cannot
 * be loaded or uses a libglade feature the layer does not support. */
GladeXML* glade_xml_new(const char* fname, const char* root, const char* domain);

/* The widget named `name`, or NULL (none, or destroyed since). Not a new reference. */
GtkWidget* glade_xml_get_widget(GladeXML* self, const char* name);

/* Connects the handlers the file names, found by name among the program's exported
 * symbols; a missing one is skipped with a warning. */
void glade_xml_signal_autoconnect(GladeXML* self);

G_END_DECLS

#endif
