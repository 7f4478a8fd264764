// SPDX-License-Identifier: MIT
// The layer's own names for the libglade calls: a widget tree built from a libglade file.
#ifndef GLADELAYER_H
#define GLADELAYER_H

#include <gtk/gtk.h>

G_BEGIN_DECLS

/* The widget tree of one interface file: a GObject that knows its widgets by name and the
 * handlers the file names. Releasing it (g_object_unref) leaves the widgets to GTK. */
typedef struct _GladeLayerXml GladeLayerXml;

#define GLADELAYER_TYPE_XML (gladelayer_xml_get_type())
#define GLADELAYER_XML(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GLADELAYER_TYPE_XML, GladeLayerXml))
#define GLADELAYER_IS_XML(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), GLADELAYER_TYPE_XML))

GType gladelayer_xml_get_type(void);

/* Builds every window of the libglade 2 file `fname` through GtkBuilder, its texts
 * translated in `domain` (NULL: the current text domain). `root` must be NULL: only whole
 * files are built. Returns a new tree the caller owns; NULL, with a warning on standard
 * error and no widget left behind, when the file cannot be read, is not well-formed XML or
 * uses a libglade feature the layer does not support. */
GladeLayerXml* gladelayer_xml_new(const char* fname, const char* root, const char* domain);

/* The widget the file names `name`, owned by its window; NULL when there is none or it
 * has been destroyed since. */
GtkWidget* gladelayer_xml_get_widget(GladeLayerXml* self, const char* name);

/* Connects every handler the file names to its signal, looking the handler up by name in
 * the program and its libraries (the program must export it). A handler that is not found
 * is skipped with a warning. Each call connects them all again. */
void gladelayer_xml_signal_autoconnect(GladeLayerXml* self);

G_END_DECLS

#endif
