// SPDX-License-Identifier: MIT
// A module that misbehaves at every call the program makes: each error code the program
// tells apart and some it does not, counts and lengths beyond the buffers given, handles it
// never handed out. The program answers with the box it owes the holder and never crashes.
#include <memory>

#include "testkit.h"

using support::BoxWatcher;
using support::CardReader;
using support::SimCard;

namespace {

using namespace shown_texts;
constexpr const char* kComm = kCommunication;
constexpr const char* kOpen = kOpenSession;
constexpr const char* kSeveral = kSeveralCards;

enum Action { kChangePin, kUnblockPin, kChangePuk, kInfo };

struct Case {
    const char* faults;
    Action action;
    std::vector<std::string> boxes;  // the texts shown, in order
};

const char* kFields[][3] = {{"entryOld", "entryNew", "entryConfirm"},
                            {"entry1", "entry2", "entry3"},
                            {"entryOldPuk", "entryNewPuk", "entryConfirmPuk"}};
const char* kValues[][2] = {{"1234", "5678"}, {"12345678", "5678"}, {"12345678", "87654321"}};

// Runs one action on a card with the given faults and returns the texts of its boxes.
std::vector<std::string> run_action(const Case& c) {
    support::reset_settings();
    SimCard card({CardReader{}}, c.faults);
    {
        // A box that start-up would show is answered too, so that no case can hang.
        BoxWatcher start_up;
        const int loaded = support::load_module(SIMCARD_PATH);
        EXPECT_EQ(loaded, 1) << c.faults;
        EXPECT_TRUE(start_up.boxes.empty()) << c.faults;
    }
    GladeXML* builder = support::start_dialog();
    std::vector<std::string> texts;
    {
        BoxWatcher watcher;
        if (c.action == kInfo) {
            gtk_button_clicked(GTK_BUTTON(glade_xml_get_widget(builder, "BtnInfo")));
        } else {
            for (int i = 0; i < 3; ++i) {
                support::set_text(builder, kFields[c.action][i], kValues[c.action][i == 0 ? 0 : 1]);
            }
            gtk_notebook_set_current_page(GTK_NOTEBOOK(glade_xml_get_widget(builder, "notebook1")),
                                          c.action);
            gtk_button_clicked(GTK_BUTTON(glade_xml_get_widget(builder, "BtnOk")));
        }
        for (const auto& b : watcher.boxes)
            texts.push_back(b.text);
    }
    support::close_dialog(builder);
    testing::internal::CaptureStderr();
    support::unload_module();
    testing::internal::GetCapturedStderr();
    return texts;
}

}  // namespace

TEST(MisbehavingModule, EveryCallOfTheOperationsAnswersWrongly) {
    const Case cases[] = {
        // Finding the card.
        {"C_GetSlotList.count = 100", kChangePin, {kSeveral}},
        {"C_OpenSession = 0xB3", kUnblockPin, {kOpen}},
        {"C_OpenSession = 0x5", kInfo, {kOpen}},
        // A session handle the module never gave: every later call is refused.
        {"C_OpenSession.handle = 999", kChangePin, {kComm}},
        {"C_OpenSession.handle = 0", kChangePuk, {kComm}},
        // Logging out is not examined.
        {"C_Logout = 0x5", kChangePin, {kSuccess}},
        {"C_Logout = 0x101", kUnblockPin, {kSuccess}},
        // Logging in.
        {"C_Login = 0xA0", kChangePin, {kWrongPin}},
        {"C_Login = 0xA4", kChangePin, {kPinBlocked}},
        {"C_Login = 0xA3", kChangePuk, {kComm}},
        {"C_Login = 0x100", kChangePuk, {kComm}},
        {"C_Login = 0xB3", kUnblockPin, {kComm}},
        {"C_Login = 0xA4", kUnblockPin, {kPukBlockedOnUnblock}},
        // The change itself.
        {"C_SetPIN = 0xA2", kChangePin, {kWrongPin}},
        {"C_SetPIN = 0xA4", kChangePuk, {kPukBlocked}},
        {"C_SetPIN = 0x6", kChangePin, {kComm}},
        {"C_InitPIN = 0xA2", kUnblockPin, {kPinNotValid}},
        {"C_InitPIN = 0x101", kUnblockPin, {kComm}},
        // Card information read badly: the box still comes, with what was read.
        {"C_GetTokenInfo = 0xB3", kInfo, {}},
        {"C_GetSlotInfo = 0x3", kInfo, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> boxes = run_action(c);
        const std::vector<std::string>& expected = c.boxes;
        if (c.action == kInfo && expected.empty()) {
            ASSERT_EQ(boxes.size(), 1u) << c.faults;
            EXPECT_EQ(boxes[0].rfind("Card Informations:\n", 0), 0u) << c.faults;
            continue;
        }
        EXPECT_EQ(boxes, expected) << c.faults;
    }
}

TEST(MisbehavingModule, StartUpCallsAnsweringWrongly) {
    const std::pair<const char*, const char*> cases[] = {
        {"C_GetFunctionList = 0x5", kNoFunctions}, {"C_Initialize = 0x191", kNoInitialize},
        {"C_Initialize = 0x30", kNoInitialize},    {"C_GetSlotList = 0x150", kNoReader},
        {"C_GetSlotList.count = 0", kNoReader},
    };
    for (const auto& [faults, message] : cases) {
        SimCard card({CardReader{}}, faults);
        BoxWatcher watcher;
        EXPECT_EQ(support::load_module(SIMCARD_PATH), 0) << faults;
        EXPECT_EQ(watcher.only().text, message) << faults;
        support::unload_module();
    }

    // More slots than the 16 the program has room for, claimed after a success: the
    // program goes on, and finding the one card then reports several.
    SimCard card({CardReader{}}, "C_GetSlotList.count = 1000");
    EXPECT_EQ(support::load_module(SIMCARD_PATH), 1);
    BoxWatcher watcher;
    EXPECT_EQ(OpenSession(0), 0);
    EXPECT_EQ(watcher.only().text, kSeveral);
    support::unload_module();
}

TEST(MisbehavingModule, ClosingAtTheEndIsNotExamined) {
    SimCard card({CardReader{}}, "C_CloseSession = 0xB3");
    ASSERT_EQ(support::load_module(SIMCARD_PATH), 1);
    ASSERT_EQ(OpenSession(1), 1);
    FinalizeP11();
    EXPECT_NE(card.trace().find("C_CloseSession session="), std::string::npos);
    EXPECT_EQ(card.trace().find("C_Finalize"), std::string::npos);
    support::unload_module();
}
