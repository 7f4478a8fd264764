// SPDX-License-Identifier: MIT
// Reads a libglade 2 interface file with GMarkup and writes the same tree for GtkBuilder.
#include "convert.h"

#include <gdk/gdkkeysyms.h>
#include <libintl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// One element of the file, with what is between its tags.
struct Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::string text;
    std::vector<Node> children;

    const char* attr(const char* key) const {
        for (const auto& a : attrs) {
            if (a.first == key)
                return a.second.c_str();
        }
        return nullptr;
    }
};

// The elements a libglade 2 file may hold here, each with the attributes it may carry.
// Anything else (requires, accessibility, placeholder, internal children, ...) is refused.
struct ElementRule {
    const char* name;
    const char* parent;
    const char* attrs[6];
};
constexpr ElementRule kElementRules[] = {
    {"glade-interface", "", {}},
    {"widget", "glade-interface", {"class", "id"}},
    {"widget", "child", {"class", "id"}},
    {"property", "widget", {"name", "translatable", "comments"}},
    {"property", "packing", {"name", "translatable", "comments"}},
    {"signal", "widget", {"name", "handler", "after", "object", "last_modification_time"}},
    {"accelerator", "widget", {"key", "modifiers", "signal"}},
    {"child", "widget", {}},
    {"packing", "child", {}},
};

// Parsing: the open elements, innermost last. A node's address stays valid while it is
// open, since only the innermost open node gets new children.
struct ParseState {
    Node root;
    std::vector<Node*> open;
};

int refuse(GError** error, const std::string& why) {
    g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "%s", why.c_str());
    return 0;
}

void on_start(GMarkupParseContext* /*context*/, const gchar* element, const gchar** names,
              const gchar** values, gpointer data, GError** error) {
    ParseState* state = static_cast<ParseState*>(data);
    Node* parent = state->open.back();
    const ElementRule* rule = nullptr;
    for (const ElementRule& r : kElementRules) {
        if (strcmp(r.name, element) == 0 && parent->name == r.parent)
            rule = &r;
    }
    if (rule == nullptr) {
        refuse(error,
               std::string("unsupported element <") + element + "> in <" + parent->name + ">");
        return;
    }
    parent->children.emplace_back();
    Node& node = parent->children.back();
    node.name = element;
    for (int i = 0; names[i] != nullptr; ++i) {
        bool known = false;
        for (const char* allowed : rule->attrs)
            known = known || (allowed != nullptr && strcmp(allowed, names[i]) == 0);
        if (!known) {
            refuse(error,
                   std::string("unsupported attribute ") + names[i] + " of <" + element + ">");
            return;
        }
        node.attrs.emplace_back(names[i], values[i]);
    }
    state->open.push_back(&node);
}

void on_end(GMarkupParseContext* /*context*/, const gchar* /*element*/, gpointer data,
            GError** /*error*/) {
    static_cast<ParseState*>(data)->open.pop_back();
}

void on_text(GMarkupParseContext* /*context*/, const gchar* text, gsize length, gpointer data,
             GError** /*error*/) {
    static_cast<ParseState*>(data)->open.back()->text.append(text, length);
}

// libglade's reading of a flag: true when it starts with T or Y, or is a number not 0.
bool glade_flag(const char* value) {
    const int first = toupper(static_cast<unsigned char>(value[0]));
    return first == 'T' || first == 'Y' || strtol(value, nullptr, 0) != 0;
}

// Names that libglade gives a meaning of its own where the class has no such property
// (tooltips, combo items, dialog response ids, custom widgets' creation functions, ...).
// clang-format off
constexpr const char* kLibgladeProperties[] = {
    "tooltip", "items", "response_id", "wmclass_name", "wmclass_class", "creation_function",
    "column_widths", "history", "build_insensitive", "filename", "format", "metric",
    "always_show_toggle", "view_line", "view_mode", "stock_pixmap", "new_group", "show_titles",
    "display_options", "text", "label_item", "group", "icon", "image", "string1"};
// clang-format on

bool is_libglade_property(const char* name) {
    for (const char* known : kLibgladeProperties) {
        if (strcmp(known, name) == 0)
            return true;
    }
    return false;
}

void append_escaped(std::string& out, const char* text) {
    gchar* escaped = g_markup_escape_text(text, -1);
    out += escaped;
    g_free(escaped);
}

struct Converter {
    GtkBuilder* types;  // resolves class names as GtkBuilder will
    const char* domain;
    GladeLayerConversion* result;
    std::vector<std::string> ids;
    std::string out;
};

// One <property> of a widget (pspec from `klass`) or of its packing (from `container`).
// `window` is the id of the top-level window whose property this is, else NULL.
int convert_property(Converter& c, const Node& property, GObjectClass* klass,
                     GtkContainerClass* container, const char* window, GError** error) {
    const char* name = property.attr("name");
    if (name == nullptr)
        return refuse(error, "a property without a name");
    GParamSpec* pspec = container != nullptr ? gtk_container_class_find_child_property(
                                                   G_OBJECT_CLASS(container), name)
                                             : g_object_class_find_property(klass, name);
    if (pspec == nullptr && is_libglade_property(name))
        return refuse(error, std::string("unsupported property ") + name);
    if (pspec == nullptr) {
        // libglade skips a property the class does not have, and so does the layer.
        g_warning("unknown property '%s' of %s skipped", name,
                  G_OBJECT_CLASS_NAME(klass != nullptr ? klass : G_OBJECT_CLASS(container)));
        return 1;
    }
    if ((pspec->flags & G_PARAM_WRITABLE) == 0)
        return refuse(error, std::string("unsupported property ") + name);
    // libglade names the widget a property refers to; other objects (adjustments, images)
    // it writes in formats of its own.
    const GType valueType = G_PARAM_SPEC_VALUE_TYPE(pspec);
    if (G_TYPE_IS_INTERFACE(valueType) ||
        (G_TYPE_IS_CLASSED(valueType) && !G_TYPE_IS_ENUM(valueType) &&
         !G_TYPE_IS_FLAGS(valueType) && !g_type_is_a(valueType, GTK_TYPE_WIDGET)))
        return refuse(error, std::string("unsupported property ") + name + " (an object)");

    const char* translatable = property.attr("translatable");
    std::string value = property.text;
    if (translatable != nullptr && strcmp(translatable, "yes") == 0 && !value.empty())
        value = dgettext(c.domain != nullptr ? c.domain : textdomain(nullptr), value.c_str());
    if (valueType == G_TYPE_BOOLEAN)
        value = glade_flag(value.c_str()) ? "True" : "False";
    // A window is shown once its whole tree is built, as libglade does.
    if (window != nullptr && strcmp(pspec->name, "visible") == 0) {
        if (value == "True")
            g_ptr_array_add(c.result->shown, g_strdup(window));
        return 1;
    }
    c.out += "<property name=\"";
    append_escaped(c.out, name);
    c.out += "\">";
    append_escaped(c.out, value.c_str());
    c.out += "</property>\n";
    return 1;
}

int convert_accelerator(Converter& c, const Node& accel, GType type, GError** error) {
    const char* key = accel.attr("key");
    const char* signal = accel.attr("signal");
    const char* modifiers = accel.attr("modifiers");
    if (key == nullptr || signal == nullptr || g_signal_lookup(signal, type) == 0)
        return refuse(error, "an accelerator without a key or a known signal");
    const guint keyval = gdk_keyval_from_name(key);
    if (keyval == 0 || keyval == GDK_VoidSymbol)
        return refuse(error, std::string("unknown accelerator key ") + key);
    c.out += "<accelerator key=\"";
    append_escaped(c.out, key);
    c.out += "\" signal=\"";
    append_escaped(c.out, signal);
    if (modifiers != nullptr && modifiers[0] != '\0') {
        c.out += "\" modifiers=\"";
        append_escaped(c.out, modifiers);
    }
    c.out += "\"/>\n";
    return 1;
}

int convert_signal(Converter& c, const Node& node, const char* id, GType type, GError** error) {
    const char* name = node.attr("name");
    const char* handler = node.attr("handler");
    guint signalId = 0;
    GQuark detail = 0;
    if (name == nullptr || handler == nullptr ||
        !g_signal_parse_name(name, type, &signalId, &detail, TRUE))
        return refuse(error, "a signal without a known name or a handler");
    GladeLayerSignal* signal = g_new0(GladeLayerSignal, 1);
    signal->widget = g_strdup(id);
    signal->signal = g_strdup(name);
    signal->handler = g_strdup(handler);
    signal->object = g_strdup(node.attr("object"));
    signal->after = node.attr("after") != nullptr && glade_flag(node.attr("after"));
    g_ptr_array_add(c.result->signals, signal);
    return 1;
}

int convert_widget(Converter& c, const Node& widget, bool toplevel, GError** error);

// One <child> of a widget of `type`: its widget and its packing. A notebook's child packed
// with type "tab" becomes the tab label of the page before it.
int convert_child(Converter& c, const Node& child, GType type, int* pages, GError** error) {
    const Node* widget = nullptr;
    const Node* packing = nullptr;
    for (const Node& n : child.children) {
        const Node** slot = n.name == "widget" ? &widget : &packing;
        if (*slot != nullptr)
            return refuse(error, "a child with two widgets or two packings");
        *slot = &n;
    }
    if (widget == nullptr)
        return refuse(error, "a child without a widget");
    bool tab = false;
    if (packing != nullptr) {
        for (const Node& p : packing->children) {
            const char* name = p.attr("name");
            if (name != nullptr && strcmp(name, "type") == 0)
                tab = p.text == "tab" && g_type_is_a(type, GTK_TYPE_NOTEBOOK) &&
                      packing->children.size() == 1 && *pages > 0;
            if (name != nullptr && strcmp(name, "type") == 0 && !tab)
                return refuse(error, "unsupported child type " + p.text);
        }
    }
    if (!tab && g_type_is_a(type, GTK_TYPE_NOTEBOOK))
        ++*pages;
    c.out += tab ? "<child type=\"tab\">\n" : "<child>\n";
    if (!convert_widget(c, *widget, false, error))
        return 0;
    if (packing != nullptr && !tab) {
        c.out += "<packing>\n";
        GtkContainerClass* container = GTK_CONTAINER_CLASS(g_type_class_ref(type));
        int ok = 1;
        for (const Node& p : packing->children)
            ok = ok && convert_property(c, p, nullptr, container, nullptr, error);
        g_type_class_unref(container);
        if (!ok)
            return 0;
        c.out += "</packing>\n";
    }
    c.out += "</child>\n";
    return 1;
}

int convert_widget(Converter& c, const Node& widget, bool toplevel, GError** error) {
    const char* klass = widget.attr("class");
    const char* id = widget.attr("id");
    if (klass == nullptr || id == nullptr)
        return refuse(error, "a widget without a class or an id");
    // Custom widgets ("Custom") and unknown classes end here.
    const GType type = gtk_builder_get_type_from_name(c.types, klass);
    if (type == G_TYPE_INVALID || !g_type_is_a(type, GTK_TYPE_WIDGET) || G_TYPE_IS_ABSTRACT(type))
        return refuse(error, std::string("unsupported widget class ") + klass);
    if (toplevel && !g_type_is_a(type, GTK_TYPE_WINDOW))
        return refuse(error, std::string("a top-level widget that is not a window: ") + id);
    for (const std::string& known : c.ids) {
        if (known == id)
            return refuse(error, std::string("two widgets named ") + id);
    }
    c.ids.emplace_back(id);

    c.out += "<object class=\"";
    append_escaped(c.out, klass);
    c.out += "\" id=\"";
    append_escaped(c.out, id);
    c.out += "\">\n";
    // GtkBuilder wants the properties before the children; signals stay with the layer.
    GObjectClass* objectClass = G_OBJECT_CLASS(g_type_class_ref(type));
    int ok = 1;
    for (const Node& n : widget.children) {
        if (n.name == "child" && !g_type_is_a(type, GTK_TYPE_CONTAINER))
            ok = refuse(error, std::string("a child of a widget that holds none: ") + id);
    }
    int pages = 0;
    for (const Node& n : widget.children) {
        if (n.name == "property")
            ok = ok && convert_property(c, n, objectClass, nullptr, toplevel ? id : nullptr, error);
    }
    for (const Node& n : widget.children) {
        if (n.name == "accelerator")
            ok = ok && convert_accelerator(c, n, type, error);
        else if (n.name == "signal")
            ok = ok && convert_signal(c, n, id, type, error);
    }
    for (const Node& n : widget.children) {
        if (n.name == "child")
            ok = ok && convert_child(c, n, type, &pages, error);
    }
    g_type_class_unref(objectClass);
    c.out += "</object>\n";
    return ok;
}

void free_signal(gpointer data) {
    GladeLayerSignal* signal = static_cast<GladeLayerSignal*>(data);
    g_free(signal->widget);
    g_free(signal->signal);
    g_free(signal->handler);
    g_free(signal->object);
    g_free(signal);
}

}  // namespace

int gladelayer_convert(const char* text, gssize length, const char* domain,
                       GladeLayerConversion* result, GError** error) {
    *result = GladeLayerConversion{nullptr, nullptr, nullptr};
    ParseState state;
    state.open.push_back(&state.root);
    static const GMarkupParser parser = {on_start, on_end, on_text, nullptr, nullptr};
    GMarkupParseContext* context =
        g_markup_parse_context_new(&parser, static_cast<GMarkupParseFlags>(0), &state, nullptr);
    const gboolean parsed = g_markup_parse_context_parse(context, text, length, error) &&
                            g_markup_parse_context_end_parse(context, error);
    g_markup_parse_context_free(context);
    if (!parsed)
        return 0;
    if (state.root.children.size() != 1)
        return refuse(error, "not a libglade interface file");

    result->signals = g_ptr_array_new_with_free_func(free_signal);
    result->shown = g_ptr_array_new_with_free_func(g_free);
    Converter c{gtk_builder_new(), domain, result, {}, "<?xml version=\"1.0\"?>\n<interface>\n"};
    int ok = 1;
    for (const Node& widget : state.root.children[0].children)
        ok = ok && convert_widget(c, widget, true, error);
    g_object_unref(c.types);
    if (!ok) {
        gladelayer_conversion_clear(result);
        return 0;
    }
    c.out += "</interface>\n";
    result->builder_xml = g_string_new(c.out.c_str());
    return 1;
}

void gladelayer_conversion_clear(GladeLayerConversion* result) {
    if (result->builder_xml != nullptr)
        g_string_free(result->builder_xml, TRUE);
    if (result->signals != nullptr)
        g_ptr_array_unref(result->signals);
    if (result->shown != nullptr)
        g_ptr_array_unref(result->shown);
    *result = GladeLayerConversion{nullptr, nullptr, nullptr};
}
