// SPDX-License-Identifier: MIT
// The libglade 2 calls Pin Manager makes, answered by the layer on GtkBuilder.
#ifndef GLADELAYER_GLADE_H
#define GLADELAYER_GLADE_H

#include "gladelayer.h"

G_BEGIN_DECLS

/* libglade's names for the layer's tree and calls: each glade_xml_* does what its
 * gladelayer_xml_* twin in gladelayer.h says (see there). */
typedef struct _GladeXML GladeXML;

#define GLADE_TYPE_XML GLADELAYER_TYPE_XML
#define GLADE_XML(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), GLADE_TYPE_XML, GladeXML))
#define GLADE_IS_XML(obj) GLADELAYER_IS_XML(obj)

GType glade_xml_get_type(void);
GladeXML* glade_xml_new(const char* fname, const char* root, const char* domain);
GtkWidget* glade_xml_get_widget(GladeXML* self, const char* name);
void glade_xml_signal_autoconnect(GladeXML* self);

G_END_DECLS

#endif
