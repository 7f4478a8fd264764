// SPDX-License-Identifier: MIT
// The C++ tests' support on GTK: boxes answered from a timer, a simulated card, the dialog.
#ifndef TESTS_SUPPORT_TESTKIT_H
#define TESTS_SUPPORT_TESTKIT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "shown_texts.h"
#include "gtkzorvpin.h"
#include "harness.h"
#include "pinman_internal.h"

namespace support {

struct SeenBox {
    GtkMessageType type;
    std::string text;
    // The icon shown: the base name of the theme's file it resolves to, or GTK 2's stock id
    // without "gtk-" ("dialog-error", "dialog-info"); "" when the box shows none.
    std::string icon;
};

// Records and answers with OK every message box that appears while it lives, as a holder
// reading the box and pressing OK would.
class BoxWatcher {
public:
    BoxWatcher();
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    std::vector<SeenBox> boxes;
    // The one box seen, or a failure naming how many there were.
    const SeenBox& only() const;

private:
    static gboolean poll(gpointer self);
    guint source_;
};

// A simulated card whose state lives in a temporary folder; the module finds it through
// SIMCARD_STATE and writes a call trace to SIMCARD_TRACE.
class SimCard {
public:
    explicit SimCard(const std::vector<CardReader>& readers = {CardReader{}},
                     const std::string& faults = "");
    ~SimCard();
    // The value of `key` in reader section `reader` of the state file as it is now.
    std::string value(const std::string& key, int reader = 0) const;
    std::string trace() const;
    const std::filesystem::path& folder() const { return dir_.path(); }

private:
    support::TempDir dir_;
};

// Default settings, as before the configuration file is read.
void reset_settings();

// Loads a module as start-up does (g_szP11Lib = path), its diagnostic lines on standard error
// dropped. Returns InitP11's result.
int load_module(const char* path);
// Releases it as the end of the program does.
void unload_module();

// The real interface file; the caller owns the tree.
GladeXML* load_interface();
// The widget tree as start-up leaves it: wired, pages removed, dialog shown.
GladeXML* start_dialog();
// Destroys the dialog without ending a main loop, and releases the tree.
void close_dialog(GladeXML* builder);

void set_text(GladeXML* builder, const char* name, const char* text);
std::string text(GladeXML* builder, const char* name);
// Runs the main loop for `ms` milliseconds.
void pump(int ms);

}  // namespace support

#endif
