// SPDX-License-Identifier: MIT
// libglade's exported names on the layer, linked only into programs that use the layer.
#include <glade/glade.h>

#include "gladelayer.h"

GType glade_xml_get_type(void) {
    return gladelayer_xml_get_type();
}

GladeXML* glade_xml_new(const char* fname, const char* root, const char* domain) {
    return reinterpret_cast<GladeXML*>(gladelayer_xml_new(fname, root, domain));
}

GtkWidget* glade_xml_get_widget(GladeXML* self, const char* name) {
    return gladelayer_xml_get_widget(GLADELAYER_XML(self), name);
}

void glade_xml_signal_autoconnect(GladeXML* self) {
    gladelayer_xml_signal_autoconnect(GLADELAYER_XML(self));
}
