// SPDX-License-Identifier: MIT
// Turning a libglade 2 interface file's text into GtkBuilder's format, in memory.
#ifndef GLADELAYER_CONVERT_H
#define GLADELAYER_CONVERT_H

#include <gtk/gtk.h>

/* One handler that the file names for a widget's signal, connected by name later. */
struct GladeLayerSignal {
    char* widget; /* id of the widget that emits */
    char* signal;
    char* handler;
    char* object; /* id of the widget passed instead of the emitter (swapped), or NULL */
    gboolean after;
};

/* What converting a file gives. The caller owns everything and releases it with
 * gladelayer_conversion_clear. */
struct GladeLayerConversion {
    GString* builder_xml; /* the same tree for the toolkit's GtkBuilder, texts to translate */
    GPtrArray* signals;   /* GladeLayerSignal*, in file order */
    GPtrArray* shown;     /* ids (char*) of the top-level windows to show once built */
};

/* Converts the libglade 2 interface text `text` (`length` bytes, or -1 when
 * zero-terminated) for the GtkBuilder of the toolkit the layer is built with; the XML is
 * the same in every language (GtkBuilder translates the texts marked translatable). Needs
 * no display. Returns 1 and fills `result`; returns 0, with `error` set and `result` left
 * empty, for what read_model refuses (model.h): bad XML, deep nesting, unknown classes and
 * every libglade feature that is not supported. */
int gladelayer_convert(const char* text, gssize length, GladeLayerConversion* result,
                       GError** error);

/* Releases what a successful gladelayer_convert filled; safe on a zeroed struct. */
void gladelayer_conversion_clear(GladeLayerConversion* result);

#endif
