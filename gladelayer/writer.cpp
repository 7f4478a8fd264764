// SPDX-License-Identifier: MIT
// Writes the layer's model as GtkBuilder XML for the toolkit the layer is built with.
#include <cstring>
#include <string>
#include <vector>

#include "model.h"

namespace gladelayer {

namespace {

// How the toolkit's GtkBuilder takes a property of a class that it builds as another.
enum class Write {
    kDrop,         // not written
    kBoth,         // the value under both names `to`
    kAttachStart,  // a child's first column or row: its position `to[0]` and span `to[1]`
    kAttachEnd,    // the column or row after the child: the end of that span
    kOptions,      // attach options: the child's own expand `to[0]` and alignment `to[1]`
    kPadding,      // padding: the child's own margins `to[0]` and `to[1]`
};

struct Change {
    const char* name;  // the property's canonical name; a packing one from kAttachStart on
    Write write;
    int axis;  // kAttachStart to kPadding: 0 across, 1 down
    const char* to[2];
};

// A class of the file that the toolkit builds as another, with what changes in its own
// properties and its children's packing. What the table does not name is written as it is.
struct ClassChange {
    const char* klass;
    const char* written;
    Change changes[11];
};

#if GTK_CHECK_VERSION(3, 0, 0)
// GTK 3's GtkTable asks for no height-for-width, so wrapping labels are measured at their
// narrowest and the dialog comes out narrow and tall; a GtkGrid keeps GTK 2's layout.
constexpr ClassChange kClassChanges[] = {
    {"GtkTable",
     "GtkGrid",
     {
         {"n-rows", Write::kDrop, 0, {}},
         {"n-columns", Write::kDrop, 0, {}},
         {"homogeneous", Write::kBoth, 0, {"row-homogeneous", "column-homogeneous"}},
         {"left-attach", Write::kAttachStart, 0, {"left-attach", "width"}},
         {"right-attach", Write::kAttachEnd, 0, {}},
         {"top-attach", Write::kAttachStart, 1, {"top-attach", "height"}},
         {"bottom-attach", Write::kAttachEnd, 1, {}},
         {"x-options", Write::kOptions, 0, {"hexpand", "halign"}},
         {"y-options", Write::kOptions, 1, {"vexpand", "valign"}},
         {"x-padding", Write::kPadding, 0, {"margin-start", "margin-end"}},
         {"y-padding", Write::kPadding, 1, {"margin-top", "margin-bottom"}},
     }},
};
#else
// GTK 2's GtkBuilder builds every class of a libglade file as it stands: one entry that names
// no class.
constexpr ClassChange kClassChanges[] = {{"", "", {}}};
#endif

// The change of the class `type`, when the toolkit builds it as another registered class.
const ClassChange* class_change(GType type) {
    for (const ClassChange& c : kClassChanges) {
        if (strcmp(c.klass, g_type_name(type)) == 0 && registered_type(c.written) != 0)
            return &c;
    }
    return nullptr;
}

const Change* property_change(const ClassChange* change, const std::string& name) {
    if (change == nullptr)
        return nullptr;
    for (const Change& c : change->changes) {
        if (c.name != nullptr && name == c.name)
            return &c;
    }
    return nullptr;
}

// A bounded number as text: columns and rows, spans and padding are GtkTable's (0 to 65535).
std::string bounded(gint64 value, gint64 least) {
    return std::to_string(value < least ? least : (value > 65535 ? 65535 : value));
}

// Where a child of a changed container goes, on each axis, with the container's defaults
// first and then the child's packing in file order, as the container takes them.
struct Place {
    gint64 start[2] = {0, 0};
    gint64 end[2] = {1, 1};
    gint64 options[2] = {0, 0};
    gint64 padding[2] = {0, 0};

    void set(const Change& c, gint64 value) {
        const int a = c.axis;
        switch (c.write) {
            case Write::kAttachStart:
                start[a] = value;
                end[a] = end[a] <= start[a] ? start[a] + 1 : end[a];
                break;
            case Write::kAttachEnd:
                end[a] = value;
                start[a] = end[a] <= start[a] ? end[a] - 1 : start[a];
                break;
            case Write::kOptions:
                options[a] = value;
                break;
            case Write::kPadding:
                padding[a] = value;
                break;
            default:
                break;
        }
    }
};

// The place of a child of the changed container `change` (of the file's class `container`),
// as the child's own properties and its packing for the written class.
void place_child(const ClassChange& change, GType container, const std::vector<Property>& packing,
                 std::vector<Property>& own, std::vector<Property>& placed) {
    Place place;
    GObjectClass* klass = G_OBJECT_CLASS(g_type_class_ref(container));
    for (const Change& c : change.changes) {
        GParamSpec* pspec =
            c.name != nullptr ? gtk_container_class_find_child_property(klass, c.name) : nullptr;
        if (pspec == nullptr)
            continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, G_PARAM_SPEC_VALUE_TYPE(pspec));
        g_param_value_set_default(pspec, &value);
        place.set(c, value_number(&value));
        g_value_unset(&value);
    }
    g_type_class_unref(klass);
    for (const Property& p : packing) {
        const Change* c = property_change(&change, p.name);
        if (c != nullptr)
            place.set(*c, p.number);
        else
            placed.push_back(p);
    }
    for (const Change& c : change.changes) {
        const int a = c.axis;
        if (c.write == Write::kAttachStart) {
            placed.push_back({c.to[0], bounded(place.start[a], 0), false, 0});
            placed.push_back({c.to[1], bounded(place.end[a] - place.start[a], 1), false, 0});
        } else if (c.write == Write::kOptions) {
            own.push_back({c.to[0], place.options[a] & GTK_EXPAND ? "True" : "False", false, 0});
            own.push_back({c.to[1], place.options[a] & GTK_FILL ? "fill" : "center", false, 0});
        } else if (c.write == Write::kPadding && place.padding[a] != 0) {
            own.push_back({c.to[0], bounded(place.padding[a], 0), false, 0});
            own.push_back({c.to[1], bounded(place.padding[a], 0), false, 0});
        }
    }
}

std::string escaped(const std::string& text) {
    gchar* escaped = g_markup_escape_text(text.c_str(), -1);
    std::string result = escaped;
    g_free(escaped);
    return result;
}

struct Writer {
    std::string out;

    void line(int depth, const std::string& text) {
        out.append(2 * depth, ' ');
        out += text;
        out += '\n';
    }
    void property(int depth, const char* name, const Property& p) {
        line(depth, "<property name=\"" + escaped(name) + "\"" +
                        (p.translatable ? " translatable=\"yes\">" : ">") + escaped(p.value) +
                        "</property>");
    }
    void properties(int depth, const std::vector<Property>& list, const ClassChange* change) {
        for (const Property& p : list) {
            const Change* c = property_change(change, p.name);
            if (c == nullptr)
                property(depth, p.name.c_str(), p);
            else if (c->write == Write::kBoth)
                for (const char* name : c->to)
                    property(depth, name, p);
        }
    }
    void widget(int depth, const Widget& w, const std::vector<Property>& own);
};

// `own`: properties the widget gets from its place in a changed container.
void Writer::widget(int depth, const Widget& w, const std::vector<Property>& own) {
    const ClassChange* change = class_change(w.type);
    line(depth, "<object class=\"" +
                    escaped(change != nullptr ? change->written : g_type_name(w.type)) +
                    "\" id=\"" + escaped(w.id) + "\">");
    // GtkBuilder wants the properties before the children; signals stay with the layer.
    properties(depth + 1, w.properties, change);
    properties(depth + 1, own, nullptr);
    for (const Accelerator& a : w.accelerators) {
        line(depth + 1, "<accelerator key=\"" + escaped(gdk_keyval_name(a.key)) + "\" signal=\"" +
                            escaped(a.signal) +
                            (a.modifiers.empty() ? "" : "\" modifiers=\"" + escaped(a.modifiers)) +
                            "\"/>");
    }
    for (const Widget& child : w.children) {
        std::vector<Property> child_own, packing;
        if (change != nullptr)
            place_child(*change, w.type, child.packing, child_own, packing);
        else
            packing = child.packing;
        line(depth + 1, child.tab ? "<child type=\"tab\">" : "<child>");
        widget(depth + 2, child, child_own);
        if (!packing.empty()) {
            line(depth + 2, "<packing>");
            properties(depth + 3, packing, nullptr);
            line(depth + 2, "</packing>");
        }
        line(depth + 1, "</child>");
    }
    line(depth, "</object>");
}

}  // namespace

std::string write_builder_xml(const Model& model) {
    Writer writer{"<?xml version=\"1.0\"?>\n<interface>\n"};
    for (const Widget& window : model.windows)
        writer.widget(1, window, {});
    writer.out += "</interface>\n";
    return writer.out;
}

}  // namespace gladelayer
