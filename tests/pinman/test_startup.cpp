// SPDX-License-Identifier: MIT
// Tests of the main dialog as start-up builds it from the real interface file, and of the
// message boxes, on a private X display.
#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cModules.h"
#include "pinman_internal.h"
#include "testkit.h"

namespace fs = std::filesystem;
using support::BoxWatcher;

namespace {

std::vector<std::string> tab_titles(GladeXML* builder) {
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
    support::reset_settings();
    GladeXML* builder = support::start_dialog();
    GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "Pin Manager");
    EXPECT_TRUE(gtk_widget_get_visible(window));
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
    support::close_dialog(builder);
}

TEST(MainDialog, InterfaceFileHidesTheDialogButNotItsChildren) {
    GladeXML* builder = support::load_interface();
    EXPECT_FALSE(gtk_widget_get_visible(glade_xml_get_widget(builder, "dialog1")));
    EXPECT_TRUE(gtk_widget_get_visible(glade_xml_get_widget(builder, "notebook1")));
    EXPECT_TRUE(gtk_widget_get_visible(glade_xml_get_widget(builder, "entryConfirmPuk")));
    EXPECT_EQ(tab_titles(builder),
              (std::vector<std::string>{"Change PIN", "Unblock PIN", "Change PUK"}));
    support::close_dialog(builder);
}

TEST(MainDialog, HiddenPagesAreRemovedForEveryCombination) {
    const char* names[] = {"Change PIN", "Unblock PIN", "Change PUK"};
    for (int mask = 0; mask < 8; ++mask) {
        support::reset_settings();
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

        GladeXML* builder = support::start_dialog();
        EXPECT_EQ(tab_titles(builder), expected) << "switches " << mask;
        // The notebook reports its page switches while pages go, and the position it
        // reports is the one the dialog shows.
        GtkNotebook* notebook = GTK_NOTEBOOK(glade_xml_get_widget(builder, "notebook1"));
        if (!expected.empty()) {
            EXPECT_EQ(g_curr_page, gtk_notebook_get_current_page(notebook));
        }
        EXPECT_TRUE(gtk_widget_get_visible(glade_xml_get_widget(builder, "BtnOk")));
        support::close_dialog(builder);
    }
}

// Each box says its kind by its type and by its icon, on GTK 3 as on GTK 2.
TEST(MessageBoxes, ShowTheTextLiterallyWithTheirTypeAndIcon) {
    BoxWatcher watcher;
    ShowMessage("100% sure: %s %d %n");
    ShowMessageError("Second line\nwith 50%");
    ASSERT_EQ(watcher.boxes.size(), 2u);
    EXPECT_EQ(watcher.boxes[0].type, GTK_MESSAGE_INFO);
    EXPECT_EQ(watcher.boxes[0].text, "100% sure: %s %d %n");
    EXPECT_TRUE(g_str_has_prefix(watcher.boxes[0].icon.c_str(), "dialog-info"))
        << watcher.boxes[0].icon;
    EXPECT_EQ(watcher.boxes[1].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(watcher.boxes[1].text, "Second line\nwith 50%");
    EXPECT_TRUE(g_str_has_prefix(watcher.boxes[1].icon.c_str(), "dialog-error"))
        << watcher.boxes[1].icon;

    // GTK takes UTF-8 only: other bytes (of a path, say) are shown escaped, the rest as is.
    const std::string no_file = std::string(shown_texts::kNoInterfaceFile) + "\n/home/";
    ShowMessageError((no_file + "\xe9t\xc3\xa9/pin").c_str());
    ASSERT_EQ(watcher.boxes.size(), 3u);
    EXPECT_EQ(watcher.boxes[2].text, no_file + "\\xe9t\xc3\xa9/pin");
}

TEST(Handlers, ExportedUnderTheirNames) {
    for (const char* name : {"onChangePage", "onClickBtnOk", "onClickBtnCancel", "onClickBtnInfo",
                             "on_window_destroy"}) {
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
    }
}

TEST(Handlers, CancelAndClosingTheWindowEndTheMainLoop) {
    for (bool via_cancel : {true, false}) {
        support::reset_settings();
        GladeXML* builder = support::start_dialog();
        GtkWidget* window = glade_xml_get_widget(builder, "dialog1");
        struct Ctx {
            GladeXML* builder;
            bool via_cancel;
        } ctx{builder, via_cancel};
        g_timeout_add(
            50,
            [](gpointer p) -> gboolean {
                auto* c = static_cast<Ctx*>(p);
                if (c->via_cancel) {
                    gtk_button_clicked(GTK_BUTTON(glade_xml_get_widget(c->builder, "BtnCancel")));
                } else {
                    // What the window manager's close button sends.
                    GdkEvent* ev = gdk_event_new(GDK_DELETE);
                    GtkWidget* w = glade_xml_get_widget(c->builder, "dialog1");
                    ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
                    ev->any.send_event = TRUE;
                    gtk_main_do_event(ev);
                    gdk_event_free(ev);
                }
                return FALSE;
            },
            &ctx);
        // A watchdog fails the test instead of hanging it.
        bool timed_out = false;
        const guint watchdog = g_timeout_add(
            5000,
            [](gpointer p) -> gboolean {
                *static_cast<bool*>(p) = true;
                gtk_main_quit();
                return FALSE;
            },
            &timed_out);
        gtk_main();
        EXPECT_FALSE(timed_out) << (via_cancel ? "Cancel" : "closing the window");
        if (!timed_out)
            g_source_remove(watchdog);
        if (via_cancel) {
            EXPECT_TRUE(gtk_widget_get_visible(window)) << "Cancel leaves the window as it is";
            support::close_dialog(builder);
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

    // A file that others may write is refused like a missing one, with a line saying why.
    fs::permissions(beside, fs::perms::group_write, fs::perm_options::add);
    testing::internal::CaptureStderr();
    EXPECT_EQ(getBuilder(), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    fs::permissions(beside, fs::perms::group_write, fs::perm_options::remove);
    EXPECT_EQ(err,
              "Not using '" + beside.string() + "': it is writable by its group or by others\n");
}

TEST(InterfaceFile, EveryWidgetTheProgramUsesMustBeThereOfItsKind) {
    const std::string real = support::read_file(GLADE_SOURCE);
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = real;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    struct Case {
        std::string glade;
        const char* line;  // what standard error names
    };
    std::vector<Case> cases;
    for (const char* name : {"dialog1", "notebook1", "entryOld", "entryNew", "entryConfirm",
                             "entry1", "entry2", "entry3", "entryOldPuk", "entryNewPuk",
                             "entryConfirmPuk", "BtnOk", "BtnCancel", "BtnInfo"}) {
        const std::string id = std::string("id=\"") + name + "\"";
        cases.push_back({replaced(id, std::string("id=\"") + name + "Gone\""), name});
    }
    cases.push_back(
        {replaced("class=\"GtkEntry\" id=\"entryOld\"", "class=\"GtkLabel\" id=\"entryOld\""),
         "GtkEntry named 'entryOld'"});
    cases.push_back(
        {replaced("class=\"GtkButton\" id=\"BtnOk\"", "class=\"GtkLabel\" id=\"BtnOk\""),
         "GtkButton named 'BtnOk'"});

    support::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const fs::path file = dir.path() / "gtkzorvpin.glade";
        support::write_file(file, c.glade);
        GladeXML* builder = glade_xml_new(file.c_str(), nullptr, nullptr);
        ASSERT_NE(builder, nullptr) << "the file still parses";
        testing::internal::CaptureStderr();
        EXPECT_EQ(has_program_widgets(builder), 0);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(c.line), std::string::npos);
        for (const char* top : {"dialog1", "dialog1Gone"}) {
            if (GtkWidget* w = glade_xml_get_widget(builder, top))
                gtk_widget_destroy(w);
        }
        g_object_unref(builder);
    }
    GladeXML* builder = glade_xml_new(GLADE_SOURCE, nullptr, nullptr);
    EXPECT_EQ(has_program_widgets(builder), 1) << "the real file has them all";
    gtk_widget_destroy(glade_xml_get_widget(builder, "dialog1"));
    g_object_unref(builder);
}

TEST(Process, NotDumpableAndNoCoreFile) {
    // In a child, so that this test program keeps its own settings.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        protect_secrets();
        struct rlimit core = {1, 1};
        getrlimit(RLIMIT_CORE, &core);
        _exit(prctl(PR_GET_DUMPABLE) == 0 && core.rlim_cur == 0 && core.rlim_max == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
