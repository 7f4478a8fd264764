// SPDX-License-Identifier: MIT
// Reads a libglade 2 interface file with GMarkup into the layer's model, checked on the toolkit.
#include "convert.h"

#include <gdk/gdkkeysyms.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "model.h"

#undef G_LOG_DOMAIN
#define G_LOG_DOMAIN "gladelayer"

namespace gladelayer {

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
    // The root stands first in the list, so its length is the new element's depth.
    if (state->open.size() > static_cast<size_t>(kMaxDepth)) {
        refuse(error, "elements nested deeper than " + std::to_string(kMaxDepth));
        return;
    }
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

}  // namespace

gint64 value_number(const GValue* value) {
    // GLib converts every integer, enumeration, flags and flag to a 64-bit integer (and a
    // fraction too, but not every one fits).
    const GType type = G_VALUE_TYPE(value);
    if (G_TYPE_FUNDAMENTAL(type) == G_TYPE_FLOAT || G_TYPE_FUNDAMENTAL(type) == G_TYPE_DOUBLE)
        return 0;
    GValue number = G_VALUE_INIT;
    g_value_init(&number, G_TYPE_INT64);
    const gint64 result =
        g_value_type_transformable(type, G_TYPE_INT64) && g_value_transform(value, &number)
            ? g_value_get_int64(&number)
            : 0;
    g_value_unset(&number);
    return result;
}

namespace {

struct Reader {
    GtkBuilder* values;         // reads property values as GtkBuilder will
    std::set<std::string> ids;  // every widget id of the file
    Model* model;
};

// One <property> of a widget (pspec from `klass`) or of its packing (from `container`),
// added to `into`. `window` is the id of the top-level window whose property this is, else
// NULL.
int read_property(Reader& r, const Node& node, GObjectClass* klass, GtkContainerClass* container,
                  const char* window, std::vector<Property>& into, GError** error) {
    const char* name = node.attr("name");
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
    // it writes in formats of its own. GtkBuilder would read a type by deriving a function
    // from its name.
    const GType value_type = G_PARAM_SPEC_VALUE_TYPE(pspec);
    const bool names_widget = g_type_is_a(value_type, GTK_TYPE_WIDGET);
    if (value_type == G_TYPE_GTYPE || G_TYPE_IS_INTERFACE(value_type) ||
        (G_TYPE_IS_CLASSED(value_type) && !G_TYPE_IS_ENUM(value_type) &&
         !G_TYPE_IS_FLAGS(value_type) && !names_widget))
        return refuse(error, std::string("unsupported property ") + name + " (an object)");

    const char* translatable = node.attr("translatable");
    Property property{
        pspec->name, node.text,
        translatable != nullptr && strcmp(translatable, "yes") == 0 && !node.text.empty(), 0};
    if (value_type == G_TYPE_BOOLEAN)
        property.value = glade_flag(property.value.c_str()) ? "True" : "False";
    if (names_widget && r.ids.count(property.value) == 0) {
        // GtkBuilder would refuse the whole file for it; libglade only says so.
        g_warning("property '%s' names the widget '%s', which the file does not have; skipped",
                  name, property.value.c_str());
        return 1;
    }
    if (!names_widget) {
        GValue value = G_VALUE_INIT;
        GError* unread = nullptr;
        if (!gtk_builder_value_from_string(r.values, pspec, property.value.c_str(), &value,
                                           &unread)) {
            // GtkBuilder skips a value it cannot read, as libglade sets some value.
            g_warning("property '%s' skipped: %s", name, unread->message);
            g_error_free(unread);
            return 1;
        }
        property.number = value_number(&value);
        g_value_unset(&value);
    }
    // A window is shown once its whole tree is built, as libglade does.
    if (window != nullptr && strcmp(pspec->name, "visible") == 0) {
        if (property.number != 0)
            r.model->shown.emplace_back(window);
        return 1;
    }
    into.push_back(std::move(property));
    return 1;
}

int read_accelerator(const Node& node, Widget& widget, GError** error) {
    const char* key = node.attr("key");
    const char* signal = node.attr("signal");
    const char* modifiers = node.attr("modifiers");
    if (key == nullptr || signal == nullptr || g_signal_lookup(signal, widget.type) == 0)
        return refuse(error, "an accelerator without a key or a known signal");
    const guint keyval = gdk_keyval_from_name(key);
    if (keyval == 0 || keyval == GDK_KEY_VoidSymbol)
        return refuse(error, std::string("unknown accelerator key ") + key);
    widget.accelerators.push_back({keyval, modifiers != nullptr ? modifiers : "", signal});
    return 1;
}

int read_signal(const Node& node, Widget& widget, GError** error) {
    const char* name = node.attr("name");
    const char* handler = node.attr("handler");
    const char* object = node.attr("object");
    guint signal_id = 0;
    GQuark detail = 0;
    // A detail is not made a quark here: only a connection needs one.
    if (name == nullptr || handler == nullptr ||
        !g_signal_parse_name(name, widget.type, &signal_id, &detail, FALSE))
        return refuse(error, "a signal without a known name or a handler");
    widget.signals.push_back({name, handler, object != nullptr, object != nullptr ? object : "",
                              node.attr("after") != nullptr && glade_flag(node.attr("after"))});
    return 1;
}

int read_widget(Reader& r, const Node& node, bool toplevel, Widget& widget, GError** error);

// One <child> of `parent`: its widget and its packing. A notebook's child packed with type
// "tab" becomes the tab label of the page before it.
int read_child(Reader& r, const Node& child, Widget& parent, int* pages, GError** error) {
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
    const bool notebook = g_type_is_a(parent.type, GTK_TYPE_NOTEBOOK);
    bool tab = false;
    if (packing != nullptr) {
        for (const Node& p : packing->children) {
            const char* name = p.attr("name");
            if (name == nullptr || strcmp(name, "type") != 0)
                continue;
            tab = p.text == "tab" && notebook && packing->children.size() == 1 && *pages > 0;
            if (!tab)
                return refuse(error, "unsupported child type " + p.text);
        }
    }
    if (!tab && notebook)
        ++*pages;
    parent.children.emplace_back();
    Widget& held = parent.children.back();
    held.tab = tab;
    if (!read_widget(r, *widget, false, held, error))
        return 0;
    if (packing == nullptr || tab)
        return 1;
    GtkContainerClass* container = GTK_CONTAINER_CLASS(g_type_class_ref(parent.type));
    int ok = 1;
    for (const Node& p : packing->children)
        ok = ok && read_property(r, p, nullptr, container, nullptr, held.packing, error);
    g_type_class_unref(container);
    return ok;
}

int read_widget(Reader& r, const Node& node, bool toplevel, Widget& widget, GError** error) {
    const char* klass = node.attr("class");
    const char* id = node.attr("id");
    if (klass == nullptr || id == nullptr)
        return refuse(error, "a widget without a class or an id");
    // Custom widgets ("Custom") and unknown classes end here.
    widget.type = registered_type(klass);
    if (widget.type == G_TYPE_INVALID || !g_type_is_a(widget.type, GTK_TYPE_WIDGET) ||
        G_TYPE_IS_ABSTRACT(widget.type))
        return refuse(error, std::string("unsupported widget class ") + klass);
    if (toplevel && !g_type_is_a(widget.type, GTK_TYPE_WINDOW))
        return refuse(error, std::string("a top-level widget that is not a window: ") + id);
    widget.id = id;
    for (const Node& n : node.children) {
        if (n.name == "child" && !g_type_is_a(widget.type, GTK_TYPE_CONTAINER))
            return refuse(error, std::string("a child of a widget that holds none: ") + id);
    }
    GObjectClass* object_class = G_OBJECT_CLASS(g_type_class_ref(widget.type));
    int ok = 1;
    for (const Node& n : node.children) {
        if (n.name == "property")
            ok = ok && read_property(r, n, object_class, nullptr, toplevel ? id : nullptr,
                                     widget.properties, error);
        else if (n.name == "accelerator")
            ok = ok && read_accelerator(n, widget, error);
        else if (n.name == "signal")
            ok = ok && read_signal(n, widget, error);
    }
    g_type_class_unref(object_class);
    int pages = 0;
    for (const Node& n : node.children) {
        if (n.name == "child")
            ok = ok && read_child(r, n, widget, &pages, error);
    }
    return ok;
}

// Gathers the ids of the widgets at and below `node`; 0 when one is taken twice.
int collect_ids(const Node& node, std::set<std::string>& ids, GError** error) {
    const char* id = node.name == "widget" ? node.attr("id") : nullptr;
    if (id != nullptr && !ids.insert(id).second)
        return refuse(error, std::string("two widgets named ") + id);
    for (const Node& n : node.children) {
        if (!collect_ids(n, ids, error))
            return 0;
    }
    return 1;
}

void free_signal(gpointer data) {
    GladeLayerSignal* signal = static_cast<GladeLayerSignal*>(data);
    g_free(signal->widget);
    g_free(signal->signal);
    g_free(signal->handler);
    g_free(signal->object);
    g_free(signal);
}

// The handlers of `widget` and of the widgets below it, in file order.
void add_signals(const Widget& widget, GPtrArray* signals) {
    for (const Signal& s : widget.signals) {
        GladeLayerSignal* signal = g_new0(GladeLayerSignal, 1);
        signal->widget = g_strdup(widget.id.c_str());
        signal->signal = g_strdup(s.name.c_str());
        signal->handler = g_strdup(s.handler.c_str());
        signal->object = s.has_object ? g_strdup(s.object.c_str()) : nullptr;
        signal->after = s.after;
        g_ptr_array_add(signals, signal);
    }
    for (const Widget& child : widget.children)
        add_signals(child, signals);
}

// The toolkit's widget classes an interface file may name, with the functions that register
// them: a class is registered only when a file names it, and never through a function looked
// up by a name the file gives.
struct WidgetClass {
    const char* name;
    GType (*get_type)(void);
};
#define GLADELAYER_CLASS(type, fn) \
    { #type, fn##_get_type }
// libglade files name the classes of GTK 2, which GTK 3 still has but deprecates.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
constexpr WidgetClass kWidgetClasses[] = {
    GLADELAYER_CLASS(GtkAboutDialog, gtk_about_dialog),
    GLADELAYER_CLASS(GtkAccelLabel, gtk_accel_label),
    GLADELAYER_CLASS(GtkAlignment, gtk_alignment),
    GLADELAYER_CLASS(GtkArrow, gtk_arrow),
    GLADELAYER_CLASS(GtkAspectFrame, gtk_aspect_frame),
    GLADELAYER_CLASS(GtkButton, gtk_button),
    GLADELAYER_CLASS(GtkCalendar, gtk_calendar),
    GLADELAYER_CLASS(GtkCheckButton, gtk_check_button),
    GLADELAYER_CLASS(GtkCheckMenuItem, gtk_check_menu_item),
    GLADELAYER_CLASS(GtkColorButton, gtk_color_button),
    GLADELAYER_CLASS(GtkComboBox, gtk_combo_box),
    GLADELAYER_CLASS(GtkComboBoxText, gtk_combo_box_text),
    GLADELAYER_CLASS(GtkDialog, gtk_dialog),
    GLADELAYER_CLASS(GtkDrawingArea, gtk_drawing_area),
    GLADELAYER_CLASS(GtkEntry, gtk_entry),
    GLADELAYER_CLASS(GtkEventBox, gtk_event_box),
    GLADELAYER_CLASS(GtkExpander, gtk_expander),
    GLADELAYER_CLASS(GtkFixed, gtk_fixed),
    GLADELAYER_CLASS(GtkFontButton, gtk_font_button),
    GLADELAYER_CLASS(GtkFrame, gtk_frame),
    GLADELAYER_CLASS(GtkHBox, gtk_hbox),
    GLADELAYER_CLASS(GtkHButtonBox, gtk_hbutton_box),
    GLADELAYER_CLASS(GtkHPaned, gtk_hpaned),
    GLADELAYER_CLASS(GtkHScale, gtk_hscale),
    GLADELAYER_CLASS(GtkHScrollbar, gtk_hscrollbar),
    GLADELAYER_CLASS(GtkHSeparator, gtk_hseparator),
    GLADELAYER_CLASS(GtkIconView, gtk_icon_view),
    GLADELAYER_CLASS(GtkImage, gtk_image),
    GLADELAYER_CLASS(GtkImageMenuItem, gtk_image_menu_item),
    GLADELAYER_CLASS(GtkLabel, gtk_label),
    GLADELAYER_CLASS(GtkLayout, gtk_layout),
    GLADELAYER_CLASS(GtkLinkButton, gtk_link_button),
    GLADELAYER_CLASS(GtkMenu, gtk_menu),
    GLADELAYER_CLASS(GtkMenuBar, gtk_menu_bar),
    GLADELAYER_CLASS(GtkMenuItem, gtk_menu_item),
    GLADELAYER_CLASS(GtkMessageDialog, gtk_message_dialog),
    GLADELAYER_CLASS(GtkNotebook, gtk_notebook),
    GLADELAYER_CLASS(GtkProgressBar, gtk_progress_bar),
    GLADELAYER_CLASS(GtkRadioButton, gtk_radio_button),
    GLADELAYER_CLASS(GtkRadioMenuItem, gtk_radio_menu_item),
    GLADELAYER_CLASS(GtkScrolledWindow, gtk_scrolled_window),
    GLADELAYER_CLASS(GtkSeparatorMenuItem, gtk_separator_menu_item),
    GLADELAYER_CLASS(GtkSpinButton, gtk_spin_button),
    GLADELAYER_CLASS(GtkSpinner, gtk_spinner),
    GLADELAYER_CLASS(GtkStatusbar, gtk_statusbar),
    GLADELAYER_CLASS(GtkTable, gtk_table),
    GLADELAYER_CLASS(GtkTextView, gtk_text_view),
    GLADELAYER_CLASS(GtkToggleButton, gtk_toggle_button),
    GLADELAYER_CLASS(GtkToolbar, gtk_toolbar),
    GLADELAYER_CLASS(GtkTreeView, gtk_tree_view),
    GLADELAYER_CLASS(GtkVBox, gtk_vbox),
    GLADELAYER_CLASS(GtkVButtonBox, gtk_vbutton_box),
    GLADELAYER_CLASS(GtkViewport, gtk_viewport),
    GLADELAYER_CLASS(GtkVPaned, gtk_vpaned),
    GLADELAYER_CLASS(GtkVScale, gtk_vscale),
    GLADELAYER_CLASS(GtkVScrollbar, gtk_vscrollbar),
    GLADELAYER_CLASS(GtkVSeparator, gtk_vseparator),
    GLADELAYER_CLASS(GtkWindow, gtk_window),
#if GTK_CHECK_VERSION(3, 0, 0)
    // What the GTK 3 writer builds in place of an older class.
    GLADELAYER_CLASS(GtkGrid, gtk_grid),
#endif
};
#pragma GCC diagnostic pop
#undef GLADELAYER_CLASS

}  // namespace

GType registered_type(const char* name) {
    for (const WidgetClass& c : kWidgetClasses) {
        if (strcmp(c.name, name) == 0)
            return c.get_type();
    }
    return g_type_from_name(name);
}

int read_model(const char* text, gssize length, Model* model, GError** error) {
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
    Reader r{gtk_builder_new(), {}, model};
    int ok = collect_ids(state.root, r.ids, error);
    for (const Node& window : state.root.children[0].children) {
        if (!ok)
            break;
        model->windows.emplace_back();
        ok = read_widget(r, window, true, model->windows.back(), error);
    }
    g_object_unref(r.values);
    return ok;
}

}  // namespace gladelayer

int gladelayer_convert(const char* text, gssize length, GladeLayerConversion* result,
                       GError** error) {
    *result = GladeLayerConversion{nullptr, nullptr, nullptr};
    gladelayer::Model model;
    if (!gladelayer::read_model(text, length, &model, error))
        return 0;
    result->builder_xml = g_string_new(gladelayer::write_builder_xml(model).c_str());
    result->signals = g_ptr_array_new_with_free_func(gladelayer::free_signal);
    for (const gladelayer::Widget& window : model.windows)
        gladelayer::add_signals(window, result->signals);
    result->shown = g_ptr_array_new_with_free_func(g_free);
    for (const std::string& id : model.shown)
        g_ptr_array_add(result->shown, g_strdup(id.c_str()));
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
