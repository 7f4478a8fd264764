// SPDX-License-Identifier: MIT
// The layer's widget tree: builds a converted libglade file with GtkBuilder, names, signals.
#include "gladelayer.h"

#include <gmodule.h>
#include <libintl.h>

#include "convert.h"

#undef G_LOG_DOMAIN
#define G_LOG_DOMAIN "gladelayer"

struct _GladeLayerXml {
    GObject parent;
    GHashTable* widgets;  // name (owned) -> widget (not referenced; dropped when destroyed)
    GPtrArray* signals;   // GladeLayerSignal*, owned
};

struct GladeLayerXmlClass {
    GObjectClass parent_class;
};

G_DEFINE_TYPE(GladeLayerXml, gladelayer_xml, G_TYPE_OBJECT)

namespace {

gboolean is_widget(gpointer /*key*/, gpointer value, gpointer widget) {
    return value == widget;
}

// A destroyed widget is no longer found by name, as with libglade.
void forget_widget(GladeLayerXml* self, GtkWidget* widget) {
    g_hash_table_foreach_remove(self->widgets, is_widget, widget);
}

// Destroys the windows that are not in `before`: what a failed build left behind.
void destroy_new_windows(GList* before) {
    GList* now = gtk_window_list_toplevels();
    for (GList* l = now; l != nullptr; l = l->next) {
        if (g_list_find(before, l->data) == nullptr)
            gtk_widget_destroy(GTK_WIDGET(l->data));
    }
    g_list_free(now);
}

// Builds the converted text, its texts translated in `domain` (NULL: the current text
// domain); the windows it makes are GTK's, the other widgets their parents'. Returns 0,
// having destroyed whatever it made, when GtkBuilder refuses it.
int build(GladeLayerXml* self, const char* fname, const char* domain,
          const GladeLayerConversion& conversion) {
    GtkBuilder* builder = gtk_builder_new();
    gtk_builder_set_translation_domain(builder, domain != nullptr ? domain : textdomain(nullptr));
    GList* before = gtk_window_list_toplevels();
    GError* error = nullptr;
    const int built = gtk_builder_add_from_string(builder, conversion.builder_xml->str,
                                                  conversion.builder_xml->len, &error) != 0;
    if (built) {
        GSList* objects = gtk_builder_get_objects(builder);
        for (GSList* l = objects; l != nullptr; l = l->next) {
            if (!GTK_IS_WIDGET(l->data))
                continue;
            GtkWidget* widget = GTK_WIDGET(l->data);
            const char* name = gtk_buildable_get_name(GTK_BUILDABLE(widget));
            // libglade names each widget after its id, which gtkrc styles may match.
            gtk_widget_set_name(widget, name);
            g_hash_table_insert(self->widgets, g_strdup(name), widget);
            g_signal_connect_object(widget, "destroy", G_CALLBACK(forget_widget), self,
                                    G_CONNECT_SWAPPED);
        }
        g_slist_free(objects);
        for (guint i = 0; i < conversion.shown->len; ++i) {
            const char* id = static_cast<const char*>(g_ptr_array_index(conversion.shown, i));
            gtk_widget_show(gladelayer_xml_get_widget(self, id));
        }
    } else {
        g_warning("could not build the interface file '%s': %s", fname, error->message);
        g_error_free(error);
        destroy_new_windows(before);
    }
    g_list_free(before);
    g_object_unref(builder);
    return built;
}

}  // namespace

static void gladelayer_xml_init(GladeLayerXml* self) {
    self->widgets = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
    self->signals = nullptr;
}

static void gladelayer_xml_finalize(GObject* object) {
    GladeLayerXml* self = GLADELAYER_XML(object);
    g_hash_table_destroy(self->widgets);
    if (self->signals != nullptr)
        g_ptr_array_unref(self->signals);
    G_OBJECT_CLASS(gladelayer_xml_parent_class)->finalize(object);
}

static void gladelayer_xml_class_init(GladeLayerXmlClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = gladelayer_xml_finalize;
}

GladeLayerXml* gladelayer_xml_new(const char* fname, const char* root, const char* domain) {
    if (root != nullptr) {
        g_warning("only whole interface files are built, not the part under '%s'", root);
        return nullptr;
    }
    gchar* text = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    if (!g_file_get_contents(fname, &text, &length, &error)) {
        g_warning("could not read the interface file: %s", error->message);
        g_error_free(error);
        return nullptr;
    }
    GladeLayerConversion conversion = {nullptr, nullptr, nullptr};
    const int converted = gladelayer_convert(text, length, &conversion, &error);
    g_free(text);
    if (!converted) {
        g_warning("could not load the interface file '%s': %s", fname, error->message);
        g_error_free(error);
        return nullptr;
    }
    GladeLayerXml* self = GLADELAYER_XML(g_object_new(GLADELAYER_TYPE_XML, nullptr));
    if (!build(self, fname, domain, conversion)) {
        g_object_unref(self);
        self = nullptr;
    } else {
        self->signals = static_cast<GPtrArray*>(g_ptr_array_ref(conversion.signals));
    }
    gladelayer_conversion_clear(&conversion);
    return self;
}

GtkWidget* gladelayer_xml_get_widget(GladeLayerXml* self, const char* name) {
    g_return_val_if_fail(GLADELAYER_IS_XML(self), nullptr);
    return GTK_WIDGET(g_hash_table_lookup(self->widgets, name));
}

void gladelayer_xml_signal_autoconnect(GladeLayerXml* self) {
    g_return_if_fail(GLADELAYER_IS_XML(self));
    // The program itself and every library loaded globally, as libglade looks handlers up.
    GModule* program = g_module_open(nullptr, G_MODULE_BIND_LAZY);
    for (guint i = 0; i < self->signals->len; ++i) {
        const GladeLayerSignal* s =
            static_cast<const GladeLayerSignal*>(g_ptr_array_index(self->signals, i));
        gpointer handler = nullptr;
        if (!g_module_symbol(program, s->handler, &handler)) {
            g_warning("could not find signal handler '%s'.", s->handler);
            continue;
        }
        GtkWidget* widget = gladelayer_xml_get_widget(self, s->widget);
        if (widget == nullptr)
            continue;
        const int after = s->after ? G_CONNECT_AFTER : 0;
        if (s->object == nullptr) {
            g_signal_connect_data(widget, s->signal, G_CALLBACK(handler), nullptr, nullptr,
                                  static_cast<GConnectFlags>(after));
            continue;
        }
        GtkWidget* other = gladelayer_xml_get_widget(self, s->object);
        if (other == nullptr) {
            g_warning("could not find the widget '%s' for signal handler '%s'.", s->object,
                      s->handler);
            continue;
        }
        g_signal_connect_object(widget, s->signal, G_CALLBACK(handler), other,
                                static_cast<GConnectFlags>(after | G_CONNECT_SWAPPED));
    }
    g_module_close(program);
}
