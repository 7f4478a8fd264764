// SPDX-License-Identifier: MIT
// Shared fixtures of Pin Manager's in-process tests: message boxes answered from a timer,
// temporary folders, a simulated card with a state file of its own, and module loading.
#ifndef PINMAN_TESTKIT_H
#define PINMAN_TESTKIT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "gtkzorvpin.h"
#include "harness.h"

namespace testkit {

// The texts of the boxes the tests expect, as the holder reads them untranslated.
namespace expected {
constexpr const char* kWrongPin = "Wrong PIN : warning, many wrong tryes may block the card.";
constexpr const char* kWrongPuk = "Wrong PUK: warning, many wrong tryes may block the card.";
constexpr const char* kCommunication = "Error communicating with the card.";
constexpr const char* kOpenSession = "Error communicating with the card (open session)";
constexpr const char* kSeveralCards =
    "Warning: there are multipkle smart card inseted\nPlease inser just one card at time.";
constexpr const char* kSuccess = "Operation successfully completed";
}  // namespace expected

struct SeenBox {
    GtkMessageType type;
    std::string text;
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

// Folders, files and the simulated card's readers come from the one test harness.
using p11test::TempDir;
using Reader = p11test::CardReader;

// A simulated card whose state lives in a temporary folder; the module finds it through
// SIMCARD_STATE and writes a call trace to SIMCARD_TRACE.
class SimCard {
public:
    explicit SimCard(const std::vector<Reader>& readers = {Reader{}},
                     const std::string& faults = "");
    ~SimCard();
    // The value of `key` in reader section `reader` of the state file as it is now.
    std::string value(const std::string& key, int reader = 0) const;
    std::string trace() const;
    const std::filesystem::path& folder() const { return dir_.path(); }

private:
    TempDir dir_;
};

inline std::string read_file(const std::filesystem::path& file) {
    return p11test::read_file(file);
}
inline void write_file(const std::filesystem::path& file, const std::string& content) {
    p11test::write_file(file, content);
}

// Default settings, as before the configuration file is read.
void reset_settings();

// Loads a module as start-up does (g_szP11Lib = path). Returns InitP11's result.
int load_module(const char* path);
// Releases it as the end of the program does and forgets the card state.
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

}  // namespace testkit

#endif
