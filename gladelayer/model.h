// SPDX-License-Identifier: MIT
// The layer's model of a libglade 2 file, checked against the toolkit's classes, and its writer.
#ifndef GLADELAYER_MODEL_H
#define GLADELAYER_MODEL_H

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace gladelayer {

/* One property of a widget, or of its packing, under the class's own name. */
struct Property {
    std::string name;   // the property's canonical name (words joined by '-')
    std::string value;  // the file's text; a flag as True or False
    bool translatable;  // a text for GtkBuilder to translate
    gint64 number;      // an integer's, enumeration's, flags' or flag's value, else 0
};

/* A key that activates a signal of its widget. */
struct Accelerator {
    guint key;              // a key value that has a name
    std::string modifiers;  // as the file gives them, for GtkBuilder to read
    std::string signal;
};

/* A handler the file names for a signal of its widget, connected by name later. */
struct Signal {
    std::string name;     // the signal, maybe with a detail
    std::string handler;  // the function's name
    bool has_object;      // the handler is swapped onto the widget `object`
    std::string object;
    bool after;
};

/* One widget of the file, with what the file says of it and its children, in file order. */
struct Widget {
    GType type;  // a registered, instantiable widget type
    std::string id;
    std::vector<Property> properties;
    std::vector<Property> packing;  // how its parent holds it
    bool tab;                       // a notebook's tab label for the page before it
    std::vector<Signal> signals;
    std::vector<Accelerator> accelerators;
    std::vector<Widget> children;
};

/* A whole file: its windows, in file order, and which of them to show once built. */
struct Model {
    std::vector<Widget> windows;
    std::vector<std::string> shown;
};

/* The type of the class `name`: one of the toolkit's widget classes a file may name (registered
 * by its own function, compiled in), or a type registered already; 0 when there is none.
 * Never calls a function derived from the name. */
GType registered_type(const char* name);

/* The value of an integer, enumeration, flags or flag held in `value`, as Property::number
 * keeps it; 0 for any other kind. */
gint64 value_number(const GValue* value);

/* The deepest nesting of elements a file may have; far above any real file, and low enough
 * that the recursive steps below it never run out of stack. */
constexpr int kMaxDepth = 256;

/* Reads the libglade 2 interface text `text` (`length` bytes, or -1 when zero-terminated)
 * into `model` (empty on entry), checking each class, property, signal and accelerator
 * against the toolkit. A property naming a widget the file does not have is skipped with a
 * warning, as libglade does, and so is a value GtkBuilder cannot read, as GtkBuilder does.
 * Returns 1; 0, with `error` set and `model` left partly filled, for bad XML, nesting deeper
 * than kMaxDepth and every libglade feature that is not supported (custom widgets, internal
 * children, adjustments, unknown classes, ...). */
int read_model(const char* text, gssize length, Model* model, GError** error);

/* The model as GtkBuilder XML for the toolkit the layer is built with: texts untranslated
 * and marked translatable, windows hidden (Model::shown says which to show), no signals.
 * Names only registered types, so GtkBuilder never derives a function from a class name. */
std::string write_builder_xml(const Model& model);

}  // namespace gladelayer

#endif
