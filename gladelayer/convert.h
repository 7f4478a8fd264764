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
    GString* builder_xml; /* the same tree in GtkBuilder's format, texts translated */
    GPtrArray* signals;   /* GladeLayerSignal*, in file order */
    GPtrArray* shown;     /* ids (char*) of the top-level windows to show once built */
};

/* Converts the libglade 2 interface text `text` (`length` bytes, or -1 when
 * zero-terminated). Translatable texts are translated in `domain`, or in the current
 * text domain when it is NULL. Returns 1 and fills `result`; returns 0, with `error` set
 * and `result` left empty, for bad XML and for every libglade feature that is not
 * supported (custom widgets, internal children, adjustments, unknown classes or
 * properties, ...). */
int gladelayer_convert(const char* text, gssize length, const char* domain,
                       GladeLayerConversion* result, GError** error);

/* Releases what a successful gladelayer_convert filled; safe on a zeroed struct. */
void gladelayer_conversion_clear(GladeLayerConversion* result);

#endif
