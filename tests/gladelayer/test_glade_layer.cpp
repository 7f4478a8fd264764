// SPDX-License-Identifier: MIT
// The libglade layer: the shipped interface file written as its toolkit's known answer, built
// as libglade builds it and keeping its layout, and files the layer refuses build nothing.
#include <gdk/gdkkeysyms.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "convert.h"
#include "gladelayer.h"
#include "gtkzorvpin.h"
#include "harness.h"
#include "model.h"

namespace {

// One way to build an interface file: libglade itself, or the layer.
struct Loader {
    const char* name;
    GObject* (*load)(const char* file, const char* domain);
    GtkWidget* (*widget)(GObject* tree, const char* name);
    void (*autoconnect)(GObject* tree);
};
const Loader kLayer = {
    "layer",
    [](const char* f, const char* d) { return G_OBJECT(gladelayer_xml_new(f, nullptr, d)); },
    [](GObject* t, const char* n) { return gladelayer_xml_get_widget(GLADELAYER_XML(t), n); },
    [](GObject* t) { gladelayer_xml_signal_autoconnect(GLADELAYER_XML(t)); }};
#ifdef HAVE_LIBGLADE
const Loader kLibglade = {
    "libglade", [](const char* f, const char* d) { return G_OBJECT(glade_xml_new(f, nullptr, d)); },
    [](GObject* t, const char* n) { return glade_xml_get_widget(GLADE_XML(t), n); },
    [](GObject* t) { glade_xml_signal_autoconnect(GLADE_XML(t)); }};
const Loader* const kLoaders[] = {&kLibglade, &kLayer};
#else
const Loader* const kLoaders[] = {&kLayer};
#endif

using support::read_file;

// `text` in a file of a fresh folder (no file when `text` is empty); both go at the end.
struct TempFile {
    support::TempDir dir;
    std::string path = dir.path() / "interface.glade";
    explicit TempFile(const std::string& text) {
        if (!text.empty())
            support::write_file(path, text);
    }
};

std::vector<GtkWidget*> toplevels() {
    GList* list = gtk_window_list_toplevels();
    std::vector<GtkWidget*> windows;
    for (GList* l = list; l != nullptr; l = l->next)
        windows.push_back(GTK_WIDGET(l->data));
    g_list_free(list);
    std::sort(windows.begin(), windows.end());
    return windows;
}

// A file built by one loader, its texts in `domain` (NULL: the current text domain), with the
// windows the load made; destroys them at the end.
struct Built {
    const Loader& loader;
    GObject* tree;
    std::vector<GtkWidget*> windows;  // the file's, by name
    std::vector<GtkWidget*> all;      // libglade adds an unnamed empty window of its own

    Built(const Loader& l, const char* file, const char* domain = nullptr) : loader(l) {
        const std::vector<GtkWidget*> before = toplevels();
        tree = loader.load(file, domain);
        for (GtkWidget* w : toplevels()) {
            if (std::binary_search(before.begin(), before.end(), w))
                continue;
            all.push_back(w);
            if (strcmp(name_of(w), "-") != 0)
                windows.push_back(w);
        }
    }
    ~Built() {
        if (tree != nullptr)
            g_object_unref(tree);
        for (GtkWidget* w : all) {
            g_signal_handlers_disconnect_by_func(w, (gpointer)on_window_destroy, nullptr);
            gtk_widget_destroy(w);
        }
    }
    GtkWidget* widget(const char* name) const { return loader.widget(tree, name); }
    // The name the loader finds `w` by, or "-" (a widget the file does not name).
    const char* name_of(GtkWidget* w) const {
        const char* name = gtk_widget_get_name(w);
        return widget(name) == w ? name : "-";
    }
};

std::vector<std::string> g_calls;  // what the test's handler and probe received, in order

}  // namespace

// Exported, so that both loaders find it by name in this program.
extern "C" G_MODULE_EXPORT void gladelayer_test_handler(GtkWidget* widget, gpointer data) {
    g_calls.push_back(std::string("handler ") + gtk_widget_get_name(widget) +
                      (data != nullptr ? " with data" : ""));
}

namespace {

#ifdef HAVE_LIBGLADE
// A value as text; widgets by their name, other objects, boxed values and pointers by kind
// only: their addresses differ between two trees by nature. No property needs to be left
// out of the comparison beyond that.
std::string value_text(const GValue* value) {
    if (G_VALUE_HOLDS_OBJECT(value) && g_value_get_object(value) != nullptr) {
        GObject* object = G_OBJECT(g_value_get_object(value));
        return GTK_IS_WIDGET(object)
                   ? std::string("widget ") + gtk_widget_get_name(GTK_WIDGET(object))
                   : std::string("a ") + G_OBJECT_TYPE_NAME(object);
    }
    if (G_VALUE_HOLDS_BOXED(value) || G_VALUE_HOLDS_POINTER(value))
        return g_value_peek_pointer(value) != nullptr ? G_VALUE_TYPE_NAME(value) : "NULL";
    gchar* text = g_strdup_value_contents(value);
    std::string result = text;
    g_free(text);
    return result;
}

// Lines "PATH .property = value" for every readable property of `object`, or with ":" for
// the child properties of `child` in the container `object`.
void add_properties(GObject* object, GtkWidget* child, const std::string& path,
                    std::vector<std::string>& lines) {
    guint count = 0;
    GParamSpec** props =
        child != nullptr
            ? gtk_container_class_list_child_properties(G_OBJECT_GET_CLASS(object), &count)
            : g_object_class_list_properties(G_OBJECT_GET_CLASS(object), &count);
    for (guint i = 0; i < count; ++i) {
        if ((props[i]->flags & G_PARAM_READABLE) == 0)
            continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, props[i]->value_type);
        if (child != nullptr)
            gtk_container_child_get_property(GTK_CONTAINER(object), child, props[i]->name, &value);
        else
            g_object_get_property(object, props[i]->name, &value);
        lines.push_back(path + (child != nullptr ? " :" : " .") + props[i]->name + " = " +
                        value_text(&value));
        g_value_unset(&value);
    }
    g_free(props);
}

gboolean is_closure(GtkAccelKey* /*key*/, GClosure* closure, gpointer data) {
    return closure == data;
}

// `widget` and everything below it, one line per fact: kind and name, properties,
// accelerators, children in order with their packing, a notebook's tab labels.
void describe(const Built& built, GtkWidget* widget, const std::string& path,
              std::vector<std::string>& lines) {
    lines.push_back(path + " " + G_OBJECT_TYPE_NAME(widget) + " named " + built.name_of(widget));
    add_properties(G_OBJECT(widget), nullptr, path, lines);
    GList* closures = gtk_widget_list_accel_closures(widget);
    for (GList* l = closures; l != nullptr; l = l->next) {
        GClosure* closure = static_cast<GClosure*>(l->data);
        GtkAccelKey* key =
            gtk_accel_group_find(gtk_accel_group_from_accel_closure(closure), is_closure, closure);
        gchar* name = gtk_accelerator_name(key->accel_key, key->accel_mods);
        lines.push_back(path + " accelerator " + name + " " + std::to_string(key->accel_flags));
        g_free(name);
    }
    g_list_free(closures);
    lines.push_back(path + " accel groups " +
                    std::to_string(g_slist_length(gtk_accel_groups_from_object(G_OBJECT(widget)))));
    if (!GTK_IS_CONTAINER(widget))
        return;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    int index = 0;
    for (GList* l = children; l != nullptr; l = l->next) {
        GtkWidget* child = GTK_WIDGET(l->data);
        const std::string at = path + "/" + std::to_string(index++);
        add_properties(G_OBJECT(widget), child, at, lines);
        describe(built, child, at, lines);
        if (GTK_IS_NOTEBOOK(widget))
            describe(built, gtk_notebook_get_tab_label(GTK_NOTEBOOK(widget), child), at + "/tab",
                     lines);
    }
    g_list_free(children);
}

std::vector<std::string> describe(const Built& built) {
    std::vector<std::string> lines;
    for (GtkWidget* window : built.windows)
        describe(built, window, built.name_of(window), lines);
    return lines;
}

// The shipped file built by both: the same windows, widget for widget and property for
// property, translated in the program's text domain (the test runs in German).
TEST(GladeLayer, BuildsTheShippedFileAsLibgladeDoes) {
    Built real(kLibglade, GLADE_SOURCE);
    Built layer(kLayer, GLADE_SOURCE);
    ASSERT_EQ(real.windows.size(), 1u);
    ASSERT_EQ(layer.all.size(), 1u) << "the layer makes no window besides the file's";
    const std::vector<std::string> expected = describe(real), got = describe(layer);
    int differences = 0;
    for (size_t i = 0; i < std::min(expected.size(), got.size()) && differences < 20; ++i) {
        if (expected[i] != got[i]) {
            ADD_FAILURE() << "libglade: " << expected[i] << "\nlayer:    " << got[i];
            ++differences;
        }
    }
    EXPECT_EQ(got.size(), expected.size());
    // The walk reached what the program relies on: names, masking, mnemonics, packing,
    // accelerators, window properties and translated texts.
    for (const char* line :
         {"dialog1/0/0/1/4 GtkEntry named entry1", "dialog1/0/0/1/4 .visibility = FALSE",
          "dialog1/0/0/0/5 .mnemonic-widget = widget entryOld", "dialog1/0/1 :expand = FALSE",
          "dialog1/0/1/1 accelerator Escape", "dialog1 .resizable = FALSE",
          "dialog1/0/0/0 :tab-label = "}) {
        EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const std::string& l) {
            return l.compare(0, strlen(line), line) == 0;
        })) << line;
    }
    EXPECT_STRNE(gtk_window_get_title(GTK_WINDOW(layer.windows[0])), "Pin Manager");

    // A page removed as start-up removes hidden ones: its widgets are gone by name in both.
    // Releasing the tree frees it and leaves the window to GTK.
    for (const Built* b : {&real, &layer})
        gtk_notebook_remove_page(GTK_NOTEBOOK(b->widget("notebook1")), 1);
    for (const char* name : {"entry1", "label_entry1", "entryOld", "BtnOk"})
        EXPECT_EQ(layer.widget(name) == nullptr, real.widget(name) == nullptr) << name;
    EXPECT_EQ(layer.widget("entry1"), nullptr);
    GtkWidget* notebook = layer.widget("notebook1");
    g_object_add_weak_pointer(layer.tree, reinterpret_cast<gpointer*>(&layer.tree));
    g_object_unref(layer.tree);
    EXPECT_EQ(layer.tree, nullptr) << "the tree is not freed";
    EXPECT_EQ(gtk_notebook_get_n_pages(GTK_NOTEBOOK(notebook)), 2);
}
#endif

// The shipped file is written for the toolkit as its known answer says, whatever the
// language (the test runs in German): the texts are GtkBuilder's to translate. When the file
// or the writer changes on purpose, the failure names the file to copy over the answer.
TEST(GladeLayer, WritesTheShippedFileAsItsKnownAnswer) {
    const std::string text = read_file(GLADE_SOURCE);
    GladeLayerConversion conversion = {nullptr, nullptr, nullptr};
    GError* error = nullptr;
    ASSERT_TRUE(gladelayer_convert(text.c_str(), -1, &conversion, &error)) << error->message;
    const std::string written = conversion.builder_xml->str;
    gladelayer_conversion_clear(&conversion);
    // The known answer's comment lines (its licence and what it is) are its own.
    std::string known, comments;
    std::istringstream lines(read_file(KNOWN_ANSWER));
    for (std::string line; std::getline(lines, line);)
        (line.compare(0, 4, "<!--") == 0 ? comments : known) += line + "\n";
    ASSERT_FALSE(known.empty()) << KNOWN_ANSWER;
    if (written != known) {
        // When the file or the writer changed on purpose, the new answer is the one to keep.
        const std::string fresh =
            std::filesystem::path(KNOWN_ANSWER).filename().string() + ".written";
        const size_t first_line = written.find('\n') + 1;
        support::write_file(fresh,
                            written.substr(0, first_line) + comments + written.substr(first_line));
        ADD_FAILURE() << "the XML written differs from " << KNOWN_ANSWER
                      << "; if that is meant, keep the new one: cp "
                      << std::filesystem::absolute(fresh).string() << " " << KNOWN_ANSWER;
    }
}

// Runs the main loop until `done` holds, at most two seconds.
bool pump_until(const std::function<bool()>& done) {
    const gint64 end = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
    while (!done() && g_get_monotonic_time() < end) {
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
        g_usleep(2000);
    }
    return done();
}

// The shipped file as the layer builds it on its toolkit keeps what the program and its
// holders rely on: the tabs in the text domain asked for; the layout (wider than tall, as
// GTK 2 lays it out), the mnemonics' fields, Escape on Cancel and the masked fields.
TEST(GladeLayer, KeepsTheShippedFilesTabsLayoutMnemonicsEscapeAndMasking) {
    const char* const tabs[] = {"Change PIN", "Unblock PIN", "Change PUK"};
    ASSERT_STRNE(dgettext(PINMAN_TEXT_DOMAIN, tabs[0]), tabs[0]) << "the test's German is missing";
    struct Domain {
        const char* domain;
        bool translated;
    };
    for (const Domain& d : {Domain{PINMAN_TEXT_DOMAIN, true},
                            Domain{"gladelayer-no-such-domain", false}, Domain{nullptr, true}}) {
        SCOPED_TRACE(d.domain != nullptr ? d.domain : "the current text domain");
        Built built(kLayer, GLADE_SOURCE, d.domain);
        ASSERT_NE(built.tree, nullptr);
        GtkNotebook* notebook = GTK_NOTEBOOK(built.widget("notebook1"));
        ASSERT_EQ(gtk_notebook_get_n_pages(notebook), 3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_STREQ(
                gtk_notebook_get_tab_label_text(notebook, gtk_notebook_get_nth_page(notebook, i)),
                d.translated ? dgettext(PINMAN_TEXT_DOMAIN, tabs[i]) : tabs[i]);
        }
        if (d.domain != nullptr)
            continue;
        // The rest once, as the program builds the file.
        GtkWidget* window = built.widget("dialog1");
        gtk_widget_show(window);
        GtkAllocation size = {0, 0, 0, 0};
        EXPECT_TRUE(pump_until([&] {
            gtk_widget_get_allocation(window, &size);
            return gtk_widget_get_mapped(window) && size.width > 1;
        }));
        EXPECT_GT(size.width, size.height) << size.width << "x" << size.height;
        // Every field has its label, whose mnemonic reaches the field, and is masked.
        int fields = 0;
        for (const char* page : {"pageChangePin", "pageUnblockPin", "pageChangePuk"}) {
            GList* children = gtk_container_get_children(GTK_CONTAINER(built.widget(page)));
            for (GList* l = children; l != nullptr; l = l->next) {
                if (!GTK_IS_ENTRY(l->data))
                    continue;
                ++fields;
                const std::string name = gtk_widget_get_name(GTK_WIDGET(l->data));
                GtkWidget* label = built.widget(("label_" + name).c_str());
                ASSERT_NE(label, nullptr) << name;
                EXPECT_EQ(gtk_label_get_mnemonic_widget(GTK_LABEL(label)), l->data) << name;
                EXPECT_NE(gtk_label_get_mnemonic_keyval(GTK_LABEL(label)), GDK_KEY_VoidSymbol)
                    << name;
                EXPECT_FALSE(gtk_entry_get_visibility(GTK_ENTRY(l->data))) << name;
                EXPECT_EQ(gtk_entry_get_invisible_char(GTK_ENTRY(l->data)), gunichar('*')) << name;
            }
            g_list_free(children);
        }
        EXPECT_EQ(fields, 9);
        int cancelled = 0;
        g_signal_connect(built.widget("BtnCancel"), "clicked",
                         G_CALLBACK(+[](GtkWidget*, gpointer n) { ++*static_cast<int*>(n); }),
                         &cancelled);
        EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(window), GDK_KEY_Escape,
                                              static_cast<GdkModifierType>(0)));
        EXPECT_EQ(cancelled, 1);
    }
}

// Nesting is refused only beyond the bound, which leaves real files far below it: boxes
// nested up to it convert, one element deeper does not.
TEST(GladeLayer, RefusesNestingBeyondItsBoundOnly) {
    for (int depth : {gladelayer::kMaxDepth, gladelayer::kMaxDepth + 1}) {
        SCOPED_TRACE(depth);
        // <glade-interface>, then a window and boxes, each a <widget> in a <child>.
        std::string text = "<glade-interface><widget class=\"GtkWindow\" id=\"w\">";
        std::string end = "</widget></glade-interface>";
        int level = 2;
        for (int box = 0; level + 2 <= depth; ++box, level += 2) {
            text += "<child><widget class=\"GtkVBox\" id=\"b" + std::to_string(box) + "\">";
            end = "</widget></child>" + end;
        }
        if (level < depth)
            text += "<property name=\"visible\">True</property>";
        GladeLayerConversion conversion = {nullptr, nullptr, nullptr};
        GError* error = nullptr;
        const int converted = gladelayer_convert((text + end).c_str(), -1, &conversion, &error);
        EXPECT_EQ(converted, depth <= gladelayer::kMaxDepth ? 1 : 0);
        if (error != nullptr)
            g_error_free(error);
        gladelayer_conversion_clear(&conversion);
    }
}

// The handlers a file names are found by name in the program (the program's own exported
// ones, and this test's) and connected as libglade connects them: plain, after the
// default handler, and swapped onto another widget. Each loader against the same table.
TEST(GladeLayer, ConnectsExportedHandlersByName) {
    struct Connection {
        const char* widget;
        const char* signal;
        const char* handler;
        const char* attributes;
        void* function;
        const char* data;  // the widget passed as data (swapped), or NULL
    };
    const Connection table[] = {
        {"dialog1", "destroy", "on_window_destroy", "", (void*)on_window_destroy, nullptr},
        {"notebook1", "switch-page", "onChangePage", "", (void*)onChangePage, nullptr},
        {"BtnOk", "clicked", "onClickBtnOk", "", (void*)onClickBtnOk, nullptr},
        {"BtnInfo", "clicked", "onClickBtnInfo", "object=\"dialog1\"", (void*)onClickBtnInfo,
         "dialog1"},
        {"BtnCancel", "clicked", "gladelayer_test_handler", "after=\"yes\"",
         (void*)gladelayer_test_handler, nullptr},
        {"entryOld", "activate", "gladelayer_test_handler", "object=\"BtnOk\"",
         (void*)gladelayer_test_handler, "BtnOk"},
    };
    // libglade wants a widget's signals after its properties, before accelerators and children.
    std::string text = read_file(GLADE_SOURCE);
    for (const Connection& c : table) {
        const size_t widget = text.find(std::string("id=\"") + c.widget + "\"");
        ASSERT_NE(widget, std::string::npos) << c.widget;
        text.insert(std::min({text.find("<child>", widget), text.find("<accelerator", widget),
                              text.find("</widget>", widget)}),
                    std::string("<signal name=\"") + c.signal + "\" handler=\"" + c.handler +
                        "\" " + c.attributes + "/>");
    }
    TempFile file(text);
    for (const Loader* loader : kLoaders) {
        SCOPED_TRACE(loader->name);
        Built built(*loader, file.path.c_str());
        ASSERT_NE(built.tree, nullptr);
        loader->autoconnect(built.tree);
        for (const Connection& c : table) {
            GtkWidget* widget = built.widget(c.widget);
            EXPECT_NE(g_signal_handler_find(
                          widget,
                          static_cast<GSignalMatchType>(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_FUNC |
                                                        G_SIGNAL_MATCH_DATA),
                          g_signal_lookup(c.signal, G_OBJECT_TYPE(widget)), 0, nullptr, c.function,
                          c.data != nullptr ? built.widget(c.data) : nullptr),
                      0u)
                << c.widget << " " << c.signal;
        }
        // "after": a plain handler connected later still runs first. Escape clicks Cancel;
        // Enter in entryOld reaches the handler as from BtnOk.
        gtk_widget_show(built.widget("dialog1"));
        g_calls.clear();
        g_signal_connect(built.widget("BtnCancel"), "clicked",
                         G_CALLBACK(+[](GtkWidget*, gpointer) { g_calls.push_back("probe"); }),
                         nullptr);
        EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(built.widget("dialog1")), GDK_KEY_Escape,
                                              static_cast<GdkModifierType>(0)));
        gtk_widget_activate(built.widget("entryOld"));
        EXPECT_EQ(g_calls, (std::vector<std::string>{"probe", "handler BtnCancel",
                                                     "handler BtnOk with data"}));
    }
}

// Files the layer does not support, or cannot read, give no tree and leave no window.
TEST(GladeLayer, RefusesWhatItDoesNotSupportAndBuildsNothing) {
    const std::string shipped = read_file(GLADE_SOURCE);
    auto window = [](const std::string& inner) {
        return "<glade-interface><widget class=\"GtkWindow\" id=\"w\"><property "
               "name=\"visible\">True</property><child><widget class=\"GtkVBox\" id=\"box\">" +
               inner + "</widget></child></widget></glade-interface>";
    };
    auto child = [&](const std::string& widget) { return window("<child>" + widget + "</child>"); };
    auto nested_boxes = [&](int count) {
        std::string boxes;
        for (int i = 0; i < count; ++i)
            boxes += "<child><widget class=\"GtkVBox\" id=\"n" + std::to_string(i) + "\">";
        for (int i = 0; i < count; ++i)
            boxes += "</widget></child>";
        return window(boxes);
    };
    const std::pair<const char*, std::string> cases[] = {
        {"bad XML", shipped.substr(0, shipped.size() / 2)},
        {"custom widget", child("<widget class=\"Custom\" id=\"c\"><property "
                                "name=\"creation_function\">make</property></widget>")},
        {"adjustment", child("<widget class=\"GtkSpinButton\" id=\"s\"><property "
                             "name=\"adjustment\">1 0 100 1 10 0</property></widget>")},
        {"combo items", child("<widget class=\"GtkComboBox\" id=\"c\"><property "
                              "name=\"items\">a\nb</property></widget>")},
        {"response id", child("<widget class=\"GtkButton\" id=\"b\"><property "
                              "name=\"response_id\">-5</property></widget>")},
        {"internal child",
         window("<child internal-child=\"vbox\"><widget class=\"GtkVBox\" id=\"v\"/></child>")},
        {"required library", "<glade-interface><requires lib=\"gnome\"/></glade-interface>"},
        {"unknown class", child("<widget class=\"GtkNoSuchWidget\" id=\"n\"/>")},
        {"tab outside a notebook", child("<widget class=\"GtkLabel\" id=\"l\"/><packing><property "
                                         "name=\"type\">tab</property></packing>")},
        {"child of a label", child("<widget class=\"GtkLabel\" id=\"l\"><child><widget "
                                   "class=\"GtkLabel\" id=\"m\"/></child></widget>")},
        {"top level that is no window",
         "<glade-interface><widget class=\"GtkVBox\" id=\"v\"/></glade-interface>"},
        {"two widgets of one name", child("<widget class=\"GtkLabel\" id=\"w\"/>")},
        // A class name that GtkBuilder would turn into a function to call (g_variant_get_type).
        {"class named after a function",
         "<glade-interface><widget class=\"G_variant\" id=\"dialog1\"/></glade-interface>"},
        {"boxes nested 40,000 deep", nested_boxes(40000)},
        // Refused by GtkBuilder once the window exists: the window must go too.
        {"unknown accelerator modifier",
         child("<widget class=\"GtkButton\" id=\"b\"><accelerator key=\"a\" "
               "modifiers=\"GDK_NO_SUCH_MASK\" signal=\"clicked\"/></widget>")},
        {"missing file", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        TempFile file(c.second);
        const std::vector<GtkWidget*> before = toplevels();
        GladeLayerXml* tree = gladelayer_xml_new(file.path.c_str(), nullptr, nullptr);
        EXPECT_EQ(tree, nullptr);
        EXPECT_EQ(toplevels(), before) << "a window was left behind";
    }
    // The same window with a sound accelerator builds, and shows, as a control; a property
    // the class does not have, and one naming a widget the file does not have, are skipped,
    // as libglade skips them, and a value that cannot be read, as GtkBuilder skips it.
    TempFile sound(
        child("<widget class=\"GtkButton\" id=\"b\"><property name=\"no_such\">1"
              "</property><property name=\"border_width\">wide</property><accelerator key=\"a\" "
              "modifiers=\"GDK_CONTROL_MASK\" "
              "signal=\"clicked\"/></widget></child><child><widget class=\"GtkLabel\" "
              "id=\"l\"><property name=\"label\">_Name</property><property "
              "name=\"use_underline\">True</property><property "
              "name=\"mnemonic_widget\">nowhere</property></widget>"));
    Built built(kLayer, sound.path.c_str());
    ASSERT_EQ(built.windows.size(), 1u);
    EXPECT_TRUE(gtk_widget_get_visible(built.windows[0]));
    EXPECT_NE(built.widget("b"), nullptr);
    ASSERT_NE(built.widget("l"), nullptr);
    EXPECT_EQ(gtk_label_get_mnemonic_widget(GTK_LABEL(built.widget("l"))), nullptr);
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
