// Tests of the main dialog as start-up builds it from the real interface file, and of the
// message boxes, on a private X display.
#include <dlfcn.h>

#include "cModules.h"
#include "testkit.h"

namespace fs = std::filesystem;
using testkit::BoxWatcher;

namespace {

std::vector<std::string> tabTitles(GladeXML* builder) {
    GtkNotebook* notebook = GTK_NOTEBOOK(glade_xml_get_widget(builder, "notebook1"));
    std::vector<std::string> titles;
    for (int i = 0; i < gtk_notebook_get_n_pages(notebook); ++i) {
        GtkWidget* page = gtk_notebook_get_nth_page(notebook, i);
        titles.push_back(gtk_notebook_get_tab_label_text(notebook, page));
    }
    return titles;
}

}  // namespace

TEST(MainDialog, TitleMaskedFieldsFocusAndButtons) {
    testkit::resetSettings();
    GladeXML* builder = testkit::startDialog();
    GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "Pin Manager");
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(window));
    for (const char* name : {"entryOld", "entryNew", "entryConfirm", "entry1", "entry2", "entry3",
                             "entryOldPuk", "entryNewPuk", "entryConfirmPuk"}) {
        GtkEntry* entry = GTK_ENTRY(glade_xml_get_widget(builder, name));
        EXPECT_FALSE(gtk_entry_get_visibility(entry)) << name;
        EXPECT_EQ(gtk_entry_get_invisible_char(entry), static_cast<gunichar>('*')) << name;
        EXPECT_FALSE(gtk_entry_get_activates_default(entry))
            << name << ": Enter must run OK once, not also through a default button";
    }
    EXPECT_TRUE(gtk_widget_is_focus(glade_xml_get_widget(builder, "entryOld")));
    for (const char* name : {"BtnOk", "BtnCancel", "BtnInfo"}) {
        EXPECT_TRUE(GTK_IS_BUTTON(glade_xml_get_widget(builder, name))) << name;
    }
    testkit::closeDialog(builder);
}

TEST(MainDialog, InterfaceFileHidesTheDialogButNotItsChildren) {
    GladeXML* builder = testkit::loadInterface();
    EXPECT_FALSE(GTK_WIDGET_VISIBLE(glade_xml_get_widget(builder, "dialog1")));
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(glade_xml_get_widget(builder, "notebook1")));
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(glade_xml_get_widget(builder, "entryConfirmPuk")));
    EXPECT_EQ(tabTitles(builder),
              (std::vector<std::string>{"Change PIN", "Unblock PIN", "Change PUK"}));
    testkit::closeDialog(builder);
}

TEST(MainDialog, HiddenPagesAreRemovedForEveryCombination) {
    const char* names[] = {"Change PIN", "Unblock PIN", "Change PUK"};
    for (int mask = 0; mask < 8; ++mask) {
        testkit::resetSettings();
        g_showChangePin = (mask >> 2) & 1;
        g_showUnblockPin = (mask >> 1) & 1;
        g_showChangePuk = mask & 1;
        std::vector<std::string> expected;
        if (g_showChangePin)
            expected.push_back(names[0]);
        if (g_showUnblockPin)
            expected.push_back(names[1]);
        if (g_showChangePuk)
            expected.push_back(names[2]);

        GladeXML* builder = testkit::startDialog();
        EXPECT_EQ(tabTitles(builder), expected) << "switches " << mask;
        // The notebook reports its page switches while pages go, and the position it
        // reports is the one the dialog shows.
        GtkNotebook* notebook = GTK_NOTEBOOK(glade_xml_get_widget(builder, "notebook1"));
        if (!expected.empty()) {
            EXPECT_EQ(g_curr_page, gtk_notebook_get_current_page(notebook));
        }
        EXPECT_TRUE(GTK_WIDGET_VISIBLE(glade_xml_get_widget(builder, "BtnOk")));
        testkit::closeDialog(builder);
    }
}

TEST(MessageBoxes, ShowTheTextLiterallyWithTheirType) {
    BoxWatcher watcher;
    ShowMessage("100% sure: %s %d %n");
    ShowMessageError("Second line\nwith 50%");
    ASSERT_EQ(watcher.boxes.size(), 2u);
    EXPECT_EQ(watcher.boxes[0].type, GTK_MESSAGE_INFO);
    EXPECT_EQ(watcher.boxes[0].text, "100% sure: %s %d %n");
    EXPECT_EQ(watcher.boxes[1].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(watcher.boxes[1].text, "Second line\nwith 50%");
}

TEST(Handlers, ExportedUnderTheirNames) {
    for (const char* name : {"onChangePage", "onClickBtnOk", "onClickBtnCancel", "onClickBtnInfo",
                             "on_window_destroy"}) {
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
    }
}

TEST(Handlers, CancelAndClosingTheWindowEndTheMainLoop) {
    for (bool viaCancel : {true, false}) {
        testkit::resetSettings();
        GladeXML* builder = testkit::startDialog();
        GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
        struct Ctx {
            GladeXML* builder;
            bool viaCancel;
        } ctx{builder, viaCancel};
        g_timeout_add(
            50,
            [](gpointer p) -> gboolean {
                auto* c = static_cast<Ctx*>(p);
                if (c->viaCancel) {
                    gtk_button_clicked(GTK_BUTTON(glade_xml_get_widget(c->builder, "BtnCancel")));
                } else {
                    // What the window manager's close button sends.
                    GdkEvent* ev = gdk_event_new(GDK_DELETE);
                    GtkWidget* w = glade_xml_get_widget(c->builder, "dialog1");
                    ev->any.window = GDK_WINDOW(g_object_ref(w->window));
                    ev->any.send_event = TRUE;
                    gtk_main_do_event(ev);
                    gdk_event_free(ev);
                }
                return FALSE;
            },
            &ctx);
        // A watchdog fails the test instead of hanging it.
        bool timedOut = false;
        const guint watchdog = g_timeout_add(
            5000,
            [](gpointer p) -> gboolean {
                *static_cast<bool*>(p) = true;
                gtk_main_quit();
                return FALSE;
            },
            &timedOut);
        gtk_main();
        EXPECT_FALSE(timedOut) << (viaCancel ? "Cancel" : "closing the window");
        if (!timedOut)
            g_source_remove(watchdog);
        if (viaCancel) {
            EXPECT_TRUE(GTK_WIDGET_VISIBLE(window)) << "Cancel leaves the window as it is";
            testkit::closeDialog(builder);
        } else {
            g_object_unref(builder);
        }
    }
}

TEST(InterfaceFile, FoundBesideTheProgramOrRefused) {
    char own[PINMAN_PATH_SIZE] = {0};
    GetCurrentModulePath(own, PINMAN_PATH_SIZE - 1);
    const fs::path beside = std::string(own) + ".glade";
    ASSERT_TRUE(fs::exists(beside));
    GladeXML* builder = getBuilder();
    ASSERT_NE(builder, nullptr);
    EXPECT_NE(glade_xml_get_widget(builder, "dialog1"), nullptr);
    gtk_widget_destroy(glade_xml_get_widget(builder, "dialog1"));
    g_object_unref(builder);

    const fs::path aside = std::string(own) + ".glade.aside";
    fs::rename(beside, aside);
    EXPECT_EQ(getBuilder(), nullptr);
    fs::rename(aside, beside);
}
