// SPDX-License-Identifier: MIT
// The C++ tests' support for the program's in-process tests, on GTK (see testkit.h).
#include "testkit.h"

#include <cstdlib>

namespace fs = std::filesystem;

namespace support {

namespace {

// The base name, up to its first '.', of the file the theme resolves `icon` to at dialog size.
std::string themed_file(GIcon* icon) {
    GtkIconInfo* info = gtk_icon_theme_lookup_by_gicon(gtk_icon_theme_get_default(), icon, 48,
                                                       static_cast<GtkIconLookupFlags>(0));
    if (info == nullptr)
        return "";
    const gchar* file = gtk_icon_info_get_filename(info);
    const std::string name = file != nullptr ? fs::path(file).filename().string() : "";
#if GTK_CHECK_VERSION(3, 0, 0)
    g_object_unref(info);
#else
    gtk_icon_info_free(info);
#endif
    return name.substr(0, name.find('.'));
}

// What SeenBox::icon says of the box `box`.
std::string shown_icon(GtkWidget* box) {
    GtkWidget* image = nullptr;
    g_object_get(box, "image", &image, nullptr);
    std::string icon;
    if (image != nullptr && gtk_widget_get_visible(image)) {
        gchar* stock = nullptr;
        GIcon* gicon = nullptr;
        g_object_get(image, "stock", &stock, "gicon", &gicon, nullptr);
        if (stock != nullptr)
            icon = g_str_has_prefix(stock, "gtk-") ? stock + 4 : stock;
        if (gicon != nullptr)
            icon = themed_file(gicon);
        g_free(stock);
        if (gicon != nullptr)
            g_object_unref(gicon);
    }
    if (image != nullptr)
        g_object_unref(image);
    return icon;
}

}  // namespace

BoxWatcher::BoxWatcher() : source_(g_timeout_add(20, &BoxWatcher::poll, this)) {}

BoxWatcher::~BoxWatcher() {
    g_source_remove(source_);
}

const SeenBox& BoxWatcher::only() const {
    static const SeenBox none{GTK_MESSAGE_OTHER, "<no box>", ""};
    EXPECT_EQ(boxes.size(), 1u);
    return boxes.empty() ? none : boxes.back();
}

gboolean BoxWatcher::poll(gpointer self) {
    auto* watcher = static_cast<BoxWatcher*>(self);
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l != nullptr; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (!GTK_IS_MESSAGE_DIALOG(w) || !gtk_widget_get_visible(w))
            continue;
        if (g_object_get_data(G_OBJECT(w), "testkit-answered") != nullptr)
            continue;
        gchar* text = nullptr;
        GtkMessageType type = GTK_MESSAGE_OTHER;
        g_object_get(w, "text", &text, "message-type", &type, nullptr);
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(w))) << "every box is modal";
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(w)), nullptr) << "boxes have no parent";
        watcher->boxes.push_back({type, text ? text : "", shown_icon(w)});
        g_free(text);
        g_object_set_data(G_OBJECT(w), "testkit-answered", w);
        gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_OK);
        break;
    }
    g_list_free(windows);
    return TRUE;
}

SimCard::SimCard(const std::vector<CardReader>& readers, const std::string& faults) {
    support::write_file(dir_.path() / "simcard.state", support::state_text(readers, faults));
    setenv("SIMCARD_STATE", (dir_.path() / "simcard.state").c_str(), 1);
    setenv("SIMCARD_TRACE", (dir_.path() / "trace.log").c_str(), 1);
}

SimCard::~SimCard() {
    // A newer card may already have taken the variables over.
    const char* state = getenv("SIMCARD_STATE");
    if (state != nullptr && dir_.path() / "simcard.state" == state) {
        unsetenv("SIMCARD_STATE");
        unsetenv("SIMCARD_TRACE");
    }
}

std::string SimCard::value(const std::string& key, int reader) const {
    return support::card_value(dir_.path() / "simcard.state", key, static_cast<size_t>(reader));
}

std::string SimCard::trace() const {
    return support::read_file(dir_.path() / "trace.log");
}

void reset_settings() {
    memset(g_szP11Lib, 0, sizeof g_szP11Lib);
    g_showChangePin = g_showUnblockPin = g_showChangePuk = 1;
    g_checkExpire = -1;
    g_curr_page = 0;
}

int load_module(const char* path) {
    memset(g_szP11Lib, 0, sizeof g_szP11Lib);
    snprintf(g_szP11Lib, sizeof g_szP11Lib, "%s", path);
    testing::internal::CaptureStderr();
    const int loaded = InitP11();
    testing::internal::GetCapturedStderr();
    return loaded;
}

void unload_module() {
    FinalizeP11();
}

GladeXML* load_interface() {
    GladeXML* builder = glade_xml_new(GLADE_SOURCE, nullptr, nullptr);
    EXPECT_NE(builder, nullptr);
    return builder;
}

GladeXML* start_dialog() {
    GladeXML* builder = load_interface();
    setup_dialog(builder);
    gtk_widget_show(glade_xml_get_widget(builder, "dialog1"));
    pump(50);
    return builder;
}

void close_dialog(GladeXML* builder) {
    GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
    if (window != nullptr) {
        g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(on_window_destroy),
                                             builder);
        gtk_widget_destroy(window);
    }
    g_object_unref(builder);
}

void set_text(GladeXML* builder, const char* name, const char* text) {
    GtkWidget* w = glade_xml_get_widget(builder, name);
    ASSERT_NE(w, nullptr) << name;
    gtk_entry_set_text(GTK_ENTRY(w), text);
}

std::string text(GladeXML* builder, const char* name) {
    GtkWidget* w = glade_xml_get_widget(builder, name);
    return w ? gtk_entry_get_text(GTK_ENTRY(w)) : "<no " + std::string(name) + ">";
}

void pump(int ms) {
    const gint64 end = g_get_monotonic_time() + ms * 1000;
    while (g_get_monotonic_time() < end) {
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
        g_usleep(2000);
    }
}

}  // namespace support
