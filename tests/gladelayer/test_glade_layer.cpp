// SPDX-License-Identifier: MIT
// The libglade layer: the shipped interface file built by libglade and by the layer gives
// the same widget trees and connections, and files the layer refuses build nothing.
#include <gtest/gtest.h>
#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gladelayer.h"
#include "gtkzorvpin.h"

namespace {

// One way to build an interface file: libglade itself, or the layer.
struct Loader {
    const char* name;
    GObject* (*load)(const char* file);
    GtkWidget* (*widget)(GObject* tree, const char* name);
    void (*autoconnect)(GObject* tree);
    // The loader's name of `widget`, or NULL when the file does not name it.
    const char* (*name_of)(GObject* tree, GtkWidget* widget);
};

const Loader kLayer = {
    "layer",
    [](const char* file) { return G_OBJECT(gladelayer_xml_new(file, nullptr, nullptr)); },
    [](GObject* tree, const char* name) {
        return gladelayer_xml_get_widget(GLADELAYER_XML(tree), name);
    },
    [](GObject* tree) { gladelayer_xml_signal_autoconnect(GLADELAYER_XML(tree)); },
    [](GObject* tree, GtkWidget* widget) -> const char* {
        const char* name = gtk_widget_get_name(widget);
        return gladelayer_xml_get_widget(GLADELAYER_XML(tree), name) == widget ? name : nullptr;
    },
};

#ifdef HAVE_LIBGLADE
const Loader kLibglade = {
    "libglade",
    [](const char* file) { return G_OBJECT(glade_xml_new(file, nullptr, nullptr)); },
    [](GObject* tree, const char* name) { return glade_xml_get_widget(GLADE_XML(tree), name); },
    [](GObject* tree) { glade_xml_signal_autoconnect(GLADE_XML(tree)); },
    [](GObject* /*tree*/, GtkWidget* widget) { return glade_get_widget_name(widget); },
};
const Loader* const kLoaders[] = {&kLibglade, &kLayer};
#else
const Loader* const kLoaders[] = {&kLayer};
#endif

std::string read_file(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A file in a fresh folder of its own, removed with it.
struct TempFile {
    std::string dir;
    std::string path;
    explicit TempFile(const std::string& text) {
        char tmpl[] = "/tmp/gladelayer-test.XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/interface.glade";
        std::ofstream(path) << text;
    }
    ~TempFile() {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
};

std::vector<GtkWindow*> toplevels() {
    std::vector<GtkWindow*> windows;
    GList* list = gtk_window_list_toplevels();
    for (GList* l = list; l != nullptr; l = l->next)
        windows.push_back(GTK_WINDOW(l->data));
    g_list_free(list);
    std::sort(windows.begin(), windows.end());
    return windows;
}

// A tree built by one loader, with the windows it made; destroys them at the end.
struct Built {
    const Loader& loader;
    GObject* tree = nullptr;
    std::vector<GtkWindow*> windows;

    Built(const Loader& l, const char* file) : loader(l) {
        const std::vector<GtkWindow*> before = toplevels();
        tree = loader.load(file);
        for (GtkWindow* w : toplevels()) {
            if (!std::binary_search(before.begin(), before.end(), w)) {
                windows.push_back(w);
            }
        }
    }
    ~Built() {
        if (tree != nullptr)
            g_object_unref(tree);
        for (GtkWindow* w : windows) {
            g_signal_handlers_disconnect_by_func(w, reinterpret_cast<gpointer>(on_window_destroy),
                                                 nullptr);
            gtk_widget_destroy(GTK_WIDGET(w));
        }
    }
    GtkWidget* widget(const char* name) const { return loader.widget(tree, name); }
};

// A value as text; widgets by their name, other objects, boxed values and pointers by kind
// only: their addresses differ between two trees by nature. No property needs to be left
// out of the comparison beyond that.
std::string value_text(const GValue* value) {
    if (G_VALUE_HOLDS_OBJECT(value)) {
        GObject* object = G_OBJECT(g_value_get_object(value));
        if (object == nullptr)
            return "NULL";
        if (GTK_IS_WIDGET(object))
            return std::string("widget ") + gtk_widget_get_name(GTK_WIDGET(object));
        return std::string("a ") + G_OBJECT_TYPE_NAME(object);
    }
    if (G_VALUE_HOLDS_BOXED(value))
        return g_value_get_boxed(value) == nullptr ? "NULL" : G_VALUE_TYPE_NAME(value);
    if (G_VALUE_HOLDS_POINTER(value))
        return g_value_get_pointer(value) == nullptr ? "NULL" : "a pointer";
    gchar* text = g_strdup_value_contents(value);
    std::string result = text;
    g_free(text);
    return result;
}

gboolean is_closure(GtkAccelKey* /*key*/, GClosure* closure, gpointer data) {
    return closure == data;
}

// Every readable property of `widget`, its accelerators, its children with their child
// properties and, for a notebook, its tab labels: one line each, under `path`.
void describe(const Built& built, GtkWidget* widget, const std::string& path,
              std::vector<std::string>& lines) {
    const char* name = built.loader.name_of(built.tree, widget);
    lines.push_back(path + " " + G_OBJECT_TYPE_NAME(widget) + " named " +
                    (name != nullptr ? name : "-"));
    guint count = 0;
    GParamSpec** specs = g_object_class_list_properties(G_OBJECT_GET_CLASS(widget), &count);
    for (guint i = 0; i < count; ++i) {
        if ((specs[i]->flags & G_PARAM_READABLE) == 0)
            continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, specs[i]->value_type);
        g_object_get_property(G_OBJECT(widget), specs[i]->name, &value);
        lines.push_back(path + " ." + specs[i]->name + " = " + value_text(&value));
        g_value_unset(&value);
    }
    g_free(specs);

    GList* closures = gtk_widget_list_accel_closures(widget);
    for (GList* l = closures; l != nullptr; l = l->next) {
        GClosure* closure = static_cast<GClosure*>(l->data);
        GtkAccelKey* key =
            gtk_accel_group_find(gtk_accel_group_from_accel_closure(closure), is_closure, closure);
        gchar* label = gtk_accelerator_name(key->accel_key, key->accel_mods);
        lines.push_back(path + " accelerator " + label + " flags " +
                        std::to_string(key->accel_flags));
        g_free(label);
    }
    g_list_free(closures);
    if (GTK_IS_WINDOW(widget)) {
        lines.push_back(
            path + " accel groups " +
            std::to_string(g_slist_length(gtk_accel_groups_from_object(G_OBJECT(widget)))));
    }
    if (!GTK_IS_CONTAINER(widget))
        return;

    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    int index = 0;
    for (GList* l = children; l != nullptr; l = l->next, ++index) {
        GtkWidget* child = GTK_WIDGET(l->data);
        const std::string childPath = path + "/" + std::to_string(index);
        specs = gtk_container_class_list_child_properties(G_OBJECT_GET_CLASS(widget), &count);
        for (guint i = 0; i < count; ++i) {
            GValue value = G_VALUE_INIT;
            g_value_init(&value, specs[i]->value_type);
            gtk_container_child_get_property(GTK_CONTAINER(widget), child, specs[i]->name, &value);
            lines.push_back(childPath + " :" + specs[i]->name + " = " + value_text(&value));
            g_value_unset(&value);
        }
        g_free(specs);
        describe(built, child, childPath, lines);
        if (GTK_IS_NOTEBOOK(widget)) {
            GtkWidget* tab = gtk_notebook_get_tab_label(GTK_NOTEBOOK(widget), child);
            describe(built, tab, childPath + "/tab", lines);
        }
    }
    g_list_free(children);
}

// The windows the file names. libglade also leaves an unnamed empty window of its own
// behind on each load, which is not part of the tree.
std::vector<GtkWidget*> named_windows(const Built& built) {
    std::vector<GtkWidget*> windows;
    for (GtkWindow* window : built.windows) {
        if (built.loader.name_of(built.tree, GTK_WIDGET(window)) != nullptr)
            windows.push_back(GTK_WIDGET(window));
    }
    return windows;
}

std::vector<std::string> describe_windows(const Built& built) {
    std::vector<std::string> lines;
    for (GtkWidget* window : named_windows(built))
        describe(built, window, built.loader.name_of(built.tree, window), lines);
    return lines;
}

// The calls the connected handlers of the signal test received, in order.
std::vector<std::string> g_calls;

}  // namespace

// Exported, so that both loaders find them by name in this program.
extern "C" G_MODULE_EXPORT void gladelayer_test_clicked(GtkWidget* widget, gpointer data) {
    g_calls.push_back(std::string("handler ") + gtk_widget_get_name(widget) +
                      (data != nullptr ? " with data" : ""));
}

namespace {

void probe_clicked(GtkWidget* widget, gpointer /*data*/) {
    g_calls.push_back(std::string("probe ") + gtk_widget_get_name(widget));
}

#ifdef HAVE_LIBGLADE
// The shipped file built by both: the same windows, widget for widget and property for
// property, in the program's text domain and the language the test runs in.
TEST(GladeLayer, BuildsTheShippedFileAsLibgladeDoes) {
    Built real(kLibglade, GLADE_SOURCE);
    Built layer(kLayer, GLADE_SOURCE);
    ASSERT_NE(real.tree, nullptr);
    ASSERT_NE(layer.tree, nullptr);
    ASSERT_EQ(named_windows(real).size(), 1u);
    ASSERT_EQ(layer.windows.size(), 1u) << "the layer makes no window besides the file's";

    const std::vector<std::string> expected = describe_windows(real);
    const std::vector<std::string> got = describe_windows(layer);
    int differences = 0;
    for (size_t i = 0; i < std::min(expected.size(), got.size()) && differences < 20; ++i) {
        if (expected[i] != got[i]) {
            ADD_FAILURE() << "libglade: " << expected[i] << "\nlayer:    " << got[i];
            ++differences;
        }
    }
    EXPECT_EQ(got.size(), expected.size());
    // The walk reached what the program relies on: names, masking, mnemonics, tab texts.
    for (const char* line :
         {"dialog1/0/0/1/4 GtkEntry named entry1", "dialog1/0/0/1/4 .visibility = FALSE",
          "dialog1/0/0/0/5 .mnemonic-widget = widget entryOld", "dialog1/0/1 :pack-type",
          "dialog1/0/1/1 accelerator Escape", "dialog1 .resizable = FALSE"}) {
        const bool found = std::any_of(expected.begin(), expected.end(), [&](const std::string& l) {
            return l.compare(0, strlen(line), line) == 0;
        });
        EXPECT_TRUE(found) << line;
    }
    // Translated, where the language has a catalogue: the title is not the file's text.
    if (getenv("LANGUAGE") != nullptr && strcmp(getenv("LANGUAGE"), "en") != 0) {
        EXPECT_STRNE(gtk_window_get_title(GTK_WINDOW(layer.widget("dialog1"))), "Pin Manager");
    }

    // A page removed as start-up removes hidden ones: its widgets are gone by name in both,
    // and releasing the tree leaves the window to GTK.
    for (const Built* b : {&real, &layer})
        gtk_notebook_remove_page(GTK_NOTEBOOK(b->widget("notebook1")), 1);
    for (const char* name : {"entry1", "entry2", "entry3", "label_entry1", "entryOld", "BtnOk"})
        EXPECT_EQ(layer.widget(name) == nullptr, real.widget(name) == nullptr) << name;
    EXPECT_EQ(layer.widget("entry1"), nullptr);
    GtkWidget* notebook = layer.widget("notebook1");
    g_object_unref(layer.tree);
    layer.tree = nullptr;
    EXPECT_TRUE(GTK_IS_WINDOW(layer.windows[0]));
    EXPECT_EQ(gtk_notebook_get_n_pages(GTK_NOTEBOOK(notebook)), 2);
}
#endif

// The handlers a file names are found by name in the program and connected as libglade
// connects them: plain, after the default handler, and swapped onto another widget.
TEST(GladeLayer, ConnectsExportedHandlersByName) {
    std::string text = read_file(GLADE_SOURCE);
    struct Insert {
        const char* after;
        const char* signal;
    };
    const Insert inserts[] = {
        {"id=\"dialog1\">", "<signal name=\"destroy\" handler=\"on_window_destroy\"/>"},
        {"id=\"notebook1\">", "<signal name=\"switch_page\" handler=\"onChangePage\"/>"},
        {"id=\"BtnOk\">", "<signal name=\"clicked\" handler=\"onClickBtnOk\"/>"},
        {"id=\"BtnInfo\">",
         "<signal name=\"clicked\" handler=\"onClickBtnInfo\" object=\"dialog1\"/>"},
        {"id=\"BtnCancel\">",
         "<signal name=\"clicked\" handler=\"gladelayer_test_clicked\" after=\"yes\"/>"},
        {"id=\"entryOld\">",
         "<signal name=\"activate\" handler=\"gladelayer_test_clicked\" object=\"BtnOk\"/>"},
    };
    // libglade wants a widget's signals after its properties, before its accelerators and
    // its children.
    for (const Insert& insert : inserts) {
        const size_t widget = text.find(insert.after);
        ASSERT_NE(widget, std::string::npos) << insert.after;
        const size_t at = std::min({text.find("<child>", widget), text.find("<accelerator", widget),
                                    text.find("</widget>", widget)});
        text.insert(at, insert.signal);
    }
    TempFile file(text);

    struct Expected {
        const char* widget;
        const char* signal;
        void* handler;
        const char* data;  // the widget passed as data (swapped), or NULL
    };
    const Expected expected[] = {
        {"dialog1", "destroy", reinterpret_cast<void*>(on_window_destroy), nullptr},
        {"notebook1", "switch-page", reinterpret_cast<void*>(onChangePage), nullptr},
        {"BtnOk", "clicked", reinterpret_cast<void*>(onClickBtnOk), nullptr},
        {"BtnInfo", "clicked", reinterpret_cast<void*>(onClickBtnInfo), "dialog1"},
        {"BtnCancel", "clicked", reinterpret_cast<void*>(gladelayer_test_clicked), nullptr},
        {"entryOld", "activate", reinterpret_cast<void*>(gladelayer_test_clicked), "BtnOk"},
    };
    for (const Loader* loader : kLoaders) {
        SCOPED_TRACE(loader->name);
        Built built(*loader, file.path.c_str());
        ASSERT_NE(built.tree, nullptr);
        loader->autoconnect(built.tree);
        for (const Expected& e : expected) {
            GtkWidget* widget = built.widget(e.widget);
            GtkWidget* data = e.data != nullptr ? built.widget(e.data) : nullptr;
            const gulong id = g_signal_handler_find(
                widget,
                static_cast<GSignalMatchType>(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_FUNC |
                                              G_SIGNAL_MATCH_DATA),
                g_signal_lookup(e.signal, G_OBJECT_TYPE(widget)), 0, nullptr, e.handler, data);
            EXPECT_NE(id, 0u) << e.widget << " " << e.signal;
        }
        // After the default handler: a handler connected later, but plain, runs first. The
        // Escape accelerator clicks Cancel; Enter in entryOld reaches the handler as BtnOk.
        gtk_widget_show(built.widget("dialog1"));
        g_calls.clear();
        GtkWidget* cancel = built.widget("BtnCancel");
        g_signal_connect(cancel, "clicked", G_CALLBACK(probe_clicked), nullptr);
        EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(built.widget("dialog1")), GDK_Escape,
                                              static_cast<GdkModifierType>(0)));
        gtk_widget_activate(built.widget("entryOld"));
        const std::vector<std::string> calls = {"probe BtnCancel", "handler BtnCancel",
                                                "handler BtnOk with data"};
        EXPECT_EQ(g_calls, calls);
    }
}

// Files the layer does not support, or cannot read, give no tree and leave no window.
TEST(GladeLayer, RefusesWhatItDoesNotSupportAndBuildsNothing) {
    const std::string shipped = read_file(GLADE_SOURCE);
    auto window = [](const std::string& inner) {
        return "<?xml version=\"1.0\"?>\n<glade-interface>\n<widget class=\"GtkWindow\" "
               "id=\"w\"><property name=\"visible\">True</property>" +
               inner + "</widget>\n</glade-interface>\n";
    };
    auto child = [&](const std::string& widget) {
        return window("<child><widget class=\"GtkVBox\" id=\"box\"><child>" + widget +
                      "</child></widget></child>");
    };
    struct Case {
        const char* name;
        std::string text;  // the file; empty: no file at all
    };
    const Case cases[] = {
        {"bad XML", shipped.substr(0, shipped.size() / 2)},
        {"not well-formed",
         "<glade-interface><widget class=\"GtkWindow\" id=\"w\"></glade-interface>"},
        {"custom widget", child("<widget class=\"Custom\" id=\"c\"><property "
                                "name=\"creation_function\">make</property></widget>")},
        {"adjustment", child("<widget class=\"GtkSpinButton\" id=\"s\"><property "
                             "name=\"adjustment\">1 0 100 1 10 0</property></widget>")},
        {"combo items",
         child("<widget class=\"GtkComboBox\" id=\"c\"><property name=\"items\">a\nb</property>"
               "</widget>")},
        {"response id", child("<widget class=\"GtkButton\" id=\"b\"><property "
                              "name=\"response_id\">-5</property></widget>")},
        {"internal child", window("<child internal-child=\"vbox\"><widget class=\"GtkVBox\" "
                                  "id=\"v\"/></child>")},
        {"required library", "<glade-interface><requires lib=\"gnome\"/></glade-interface>"},
        {"unknown class", child("<widget class=\"GtkNoSuchWidget\" id=\"n\"/>")},
        {"tab outside a notebook", child("<widget class=\"GtkLabel\" id=\"l\"/><packing><property "
                                         "name=\"type\">tab</property></packing>")},
        {"child of a label", child("<widget class=\"GtkLabel\" id=\"l\"><child><widget "
                                   "class=\"GtkLabel\" id=\"m\"/></child></widget>")},
        {"top level that is no window",
         "<glade-interface><widget class=\"GtkVBox\" id=\"v\"/></glade-interface>"},
        {"two widgets of one name", child("<widget class=\"GtkLabel\" id=\"w\"/>")},
        // Refused by GtkBuilder once the window exists: the window must go too.
        {"unknown accelerator modifier",
         child("<widget class=\"GtkButton\" id=\"b\"><accelerator key=\"a\" "
               "modifiers=\"GDK_NO_SUCH_MASK\" signal=\"clicked\"/></widget>")},
        {"missing file", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(c.text);
        if (c.text.empty())
            unlink(file.path.c_str());
        const std::vector<GtkWindow*> before = toplevels();
        GladeLayerXml* tree = gladelayer_xml_new(file.path.c_str(), nullptr, nullptr);
        EXPECT_EQ(tree, nullptr);
        if (tree != nullptr)
            g_object_unref(tree);
        EXPECT_EQ(toplevels(), before) << "a window was left behind";
    }
    // The same window without the refused part builds, and shows, as a control.
    const std::vector<GtkWindow*> before = toplevels();
    TempFile plain(
        child("<widget class=\"GtkButton\" id=\"b\"><accelerator key=\"a\" "
              "modifiers=\"GDK_CONTROL_MASK\" signal=\"clicked\"/></widget>"));
    GladeLayerXml* tree = gladelayer_xml_new(plain.path.c_str(), nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    GtkWidget* w = gladelayer_xml_get_widget(tree, "w");
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(w));
    EXPECT_EQ(toplevels().size(), before.size() + 1);
    gtk_widget_destroy(w);
    EXPECT_EQ(gladelayer_xml_get_widget(tree, "b"), nullptr) << "destroyed with its window";
    g_object_unref(tree);
}

}  // namespace

int main(int argc, char** argv) {
    // The program's text domain and catalogues, as start-up sets them.
    setlocale(LC_ALL, "");
    bindtextdomain(PINMAN_TEXT_DOMAIN, LOCALE_DIR);
    bind_textdomain_codeset(PINMAN_TEXT_DOMAIN, "UTF-8");
    textdomain(PINMAN_TEXT_DOMAIN);
    gtk_init(&argc, &argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
