// SPDX-License-Identifier: MIT
// Tests of the three PIN and PUK operations and of the OK dispatch, with the real dialog and
// the simulated card: every answer of the card, the field checks, and what the card's state
// file says afterwards.
#include <gdk/gdkkeysyms.h>

#include <memory>

#include "testkit.h"

using support::BoxWatcher;
using support::CardReader;
using support::SimCard;

namespace {

using namespace shown_texts;

using Operation = int (*)(GladeXML*);

struct OperationFields {
    Operation operation;
    const char* fields[3];
};
const OperationFields kChangePin = {ChangePin, {"entryOld", "entryNew", "entryConfirm"}};
const OperationFields kUnblockPin = {UnblockPin, {"entry1", "entry2", "entry3"}};
const OperationFields kChangePuk = {ChangePuk, {"entryOldPuk", "entryNewPuk", "entryConfirmPuk"}};

class PinOperations : public testing::Test {
protected:
    void start(const std::vector<CardReader>& readers = {CardReader{}},
               const std::string& faults = "") {
        card_ = std::make_unique<SimCard>(readers, faults);
        const int loaded = support::load_module(SIMCARD_PATH);
        ASSERT_EQ(loaded, 1);
        builder_ = support::start_dialog();
    }
    void start(const CardReader& reader, const std::string& faults = "") {
        start(std::vector<CardReader>{reader}, faults);
    }
    void TearDown() override {
        if (builder_ != nullptr)
            support::close_dialog(builder_);
        builder_ = nullptr;
        support::unload_module();
        card_.reset();
        support::reset_settings();
    }

    // Runs one operation on three field texts; returns its result and keeps its boxes.
    int run(const OperationFields& op, const char* first, const char* second, const char* third) {
        support::set_text(builder_, op.fields[0], first);
        support::set_text(builder_, op.fields[1], second);
        support::set_text(builder_, op.fields[2], third);
        BoxWatcher watcher;
        const int result = op.operation(builder_);
        boxes_ = watcher.boxes;
        return result;
    }
    // The one error box the last run showed.
    std::string error() const {
        EXPECT_EQ(boxes_.size(), 1u);
        if (boxes_.empty())
            return "<no box>";
        EXPECT_EQ(boxes_[0].type, GTK_MESSAGE_ERROR);
        return boxes_[0].text;
    }
    // The answer of one operation against a fresh card.
    std::string answer(const OperationFields& op, const CardReader& reader,
                       const std::string& faults, const char* first, const char* second) {
        start(reader, faults);
        const int result = run(op, first, second, second);
        std::string text = result == 1 && boxes_.empty() ? "result 1" : error();
        TearDown();
        return text;
    }

    std::unique_ptr<SimCard> card_;
    GladeXML* builder_ = nullptr;
    std::vector<support::SeenBox> boxes_;
};

CardReader with_pin_tries(int tries) {
    CardReader r;
    r.now.pin_tries = static_cast<CK_ULONG>(tries);
    return r;
}
CardReader with_puk_tries(int tries) {
    CardReader r;
    r.now.puk_tries = static_cast<CK_ULONG>(tries);
    return r;
}

}  // namespace

TEST_F(PinOperations, ChangePinAnswers) {
    EXPECT_EQ(answer(kChangePin, {}, "", "1234", "5678"), "result 1");
    EXPECT_EQ(answer(kChangePin, {}, "", "9999", "5678"), kWrongPin) << "CKR_PIN_INCORRECT";
    EXPECT_EQ(answer(kChangePin, {}, "C_SetPIN = 0xA1", "1234", "5678"), kWrongPin)
        << "CKR_PIN_INVALID";
    EXPECT_EQ(answer(kChangePin, {}, "", "1234", "123456789"), kWrongPin) << "CKR_PIN_LEN_RANGE";
    EXPECT_EQ(answer(kChangePin, with_pin_tries(0), "", "1234", "5678"), kPinBlocked);
    EXPECT_EQ(answer(kChangePin, {}, "C_Login = 0xA3", "1234", "5678"), kCommunication)
        << "CKR_PIN_EXPIRED";
    EXPECT_EQ(answer(kChangePin, {}, "C_SetPIN = 0x30", "1234", "5678"), kCommunication);
}

TEST_F(PinOperations, ChangePukAnswers) {
    EXPECT_EQ(answer(kChangePuk, {}, "", "12345678", "87654321"), "result 1");
    EXPECT_EQ(answer(kChangePuk, {}, "", "11111111", "87654321"), kWrongPuk);
    EXPECT_EQ(answer(kChangePuk, {}, "C_SetPIN = 0xA1", "12345678", "87654321"), kWrongPuk);
    EXPECT_EQ(answer(kChangePuk, {}, "", "12345678", "123"), kWrongPuk) << "CKR_PIN_LEN_RANGE";
    EXPECT_EQ(answer(kChangePuk, with_puk_tries(0), "", "12345678", "87654321"), kPukBlocked);
    EXPECT_EQ(answer(kChangePuk, {}, "C_Login = 0xA3", "12345678", "87654321"), kCommunication);
    EXPECT_EQ(answer(kChangePuk, {}, "C_Login = 0x6", "12345678", "87654321"), kCommunication);
}

TEST_F(PinOperations, UnblockPinAnswersOfTheLogin) {
    EXPECT_EQ(answer(kUnblockPin, with_pin_tries(0), "", "12345678", "4321"), "result 1");
    EXPECT_EQ(answer(kUnblockPin, {}, "", "00000000", "4321"), kWrongPuk);
    EXPECT_EQ(answer(kUnblockPin, {}, "C_Login = 0xA1", "12345678", "4321"), kWrongPuk);
    EXPECT_EQ(answer(kUnblockPin, {}, "C_Login = 0xA2", "12345678", "4321"), kWrongPuk);
    EXPECT_EQ(answer(kUnblockPin, with_puk_tries(0), "", "12345678", "4321"), kPukBlockedOnUnblock);
    EXPECT_EQ(answer(kUnblockPin, {}, "C_Login = 0xA3", "12345678", "4321"), kCommunication);
}

TEST_F(PinOperations, UnblockPinAnswersOfInitPin) {
    EXPECT_EQ(answer(kUnblockPin, {}, "C_InitPIN = 0xA0", "12345678", "4321"), kCommunication);
    EXPECT_EQ(answer(kUnblockPin, {}, "C_InitPIN = 0xA1", "12345678", "4321"), kPinNotValid);
    EXPECT_EQ(answer(kUnblockPin, {}, "", "12345678", "12"), kPinNotValid)
        << "the card's own CKR_PIN_LEN_RANGE";
    EXPECT_EQ(answer(kUnblockPin, {}, "C_InitPIN = 0xA4", "12345678", "4321"), kCommunication);
    EXPECT_EQ(answer(kUnblockPin, {}, "C_InitPIN = 0xA3", "12345678", "4321"), kCommunication);
    EXPECT_EQ(answer(kUnblockPin, {}, "C_InitPIN = 0x5", "12345678", "4321"), kCommunication);
}

TEST_F(PinOperations, TheCardsStateAfterEachOperation) {
    start();
    EXPECT_EQ(run(kChangePin, "9999", "5678", "5678"), 0);
    EXPECT_EQ(card_->value("pin_tries"), "2") << "a wrong PIN costs one try";
    EXPECT_EQ(card_->value("pin"), "1234");
    EXPECT_EQ(card_->trace().find("C_SetPIN"), std::string::npos) << "no change after a bad login";

    EXPECT_EQ(run(kChangePin, "1234", "5678", "5678"), 1);
    EXPECT_EQ(card_->value("pin"), "5678");
    EXPECT_EQ(card_->value("pin_tries"), "3") << "the right PIN restores the tries";

    for (int left = 2; left >= 0; --left) {
        run(kChangePin, "0000", "1111", "1111");
        EXPECT_EQ(card_->value("pin_tries"), std::to_string(left));
    }
    EXPECT_EQ(error(), kWrongPin) << "the try that locks is still a wrong PIN";
    run(kChangePin, "5678", "1111", "1111");
    EXPECT_EQ(error(), kPinBlocked) << "locked even for the right PIN";

    EXPECT_EQ(run(kUnblockPin, "12345678", "2468", "2468"), 1);
    EXPECT_EQ(card_->value("pin"), "2468");
    EXPECT_EQ(card_->value("pin_tries"), "3") << "unblocking resets the counter";

    EXPECT_EQ(run(kChangePuk, "12345678", "87654321", "87654321"), 1);
    EXPECT_EQ(card_->value("puk"), "87654321");
    run(kChangePuk, "12345678", "11112222", "11112222");
    EXPECT_EQ(card_->value("puk_tries"), "9");
}

TEST_F(PinOperations, FieldChecksComeBeforeTheCard) {
    start();
    for (const OperationFields* op : {&kChangePin, &kUnblockPin, &kChangePuk}) {
        EXPECT_EQ(run(*op, "", "5678", "5678"), 0);
        EXPECT_EQ(error(), kAllFieldsRequired);
        EXPECT_EQ(run(*op, "12345678", "", "5678"), 0);
        EXPECT_EQ(error(), kAllFieldsRequired);
        EXPECT_EQ(run(*op, "12345678", "5678", ""), 0);
        EXPECT_EQ(error(), kAllFieldsRequired);
        EXPECT_EQ(run(*op, "", "5678", "8765"), 0);
        EXPECT_EQ(error(), kAllFieldsRequired) << "emptiness is checked first";
        EXPECT_EQ(run(*op, "12345678", "5678", "8765"), 0);
        EXPECT_EQ(error(), op == &kChangePuk ? kNewPukMismatch : kNewPinMismatch);
        EXPECT_EQ(run(*op, "12345678", "5678", "5678 "), 0) << "texts are compared untrimmed";
    }
    EXPECT_EQ(card_->trace().find("C_OpenSession"), std::string::npos) << "the card is untouched";
}

TEST_F(PinOperations, PinBytesGoToTheCardAsUtf8WithoutTerminator) {
    CardReader r;
    r.max_pin = 16;
    start(r);
    EXPECT_EQ(run(kChangePin, "1234", "äöü1", "äöü1"), 1);
    EXPECT_EQ(card_->value("pin"), "äöü1");
    EXPECT_NE(card_->trace().find("newlen=7"), std::string::npos) << card_->trace();
    EXPECT_EQ(run(kChangePin, "äöü1", "1234", "1234"), 1);
    EXPECT_EQ(card_->value("pin"), "1234");
}

TEST_F(PinOperations, EachOperationLogsOutFirst) {
    start();
    EXPECT_EQ(run(kChangePin, "1234", "5678", "5678"), 1);
    EXPECT_EQ(run(kChangePuk, "12345678", "87654321", "87654321"), 1);
    // The first operation's user login is still on the card: the second ends it before
    // logging in as security officer.
    const std::string trace = card_->trace();
    const size_t second_logout = trace.find("C_Logout", trace.find("C_SetPIN"));
    ASSERT_NE(second_logout, std::string::npos) << trace;
    const std::string line =
        trace.substr(second_logout, trace.find('\n', second_logout) - second_logout);
    EXPECT_NE(line.find("rv=0x0"), std::string::npos) << line;
    EXPECT_LT(second_logout, trace.find("C_Login", second_logout));
}

TEST_F(PinOperations, SessionFailures) {
    CardReader second;
    second.description = "Simulated Reader 1";
    second.serial = "0000000000000002";
    start({CardReader{}, second});
    EXPECT_EQ(run(kChangePin, "1234", "5678", "5678"), 0);
    EXPECT_EQ(error(), kSeveralCards);
    TearDown();

    CardReader absent;
    absent.present = false;
    start({absent, CardReader{}});
    EXPECT_EQ(run(kChangePin, "1234", "5678", "5678"), 1) << "the one card among readers";
    TearDown();

    start(absent);
    EXPECT_EQ(run(kUnblockPin, "12345678", "5678", "5678"), 0);
    EXPECT_EQ(error(), kNoCard);
    TearDown();

    start(CardReader{}, "C_OpenSession = 0x30");
    EXPECT_EQ(run(kChangePuk, "12345678", "87654321", "87654321"), 0);
    EXPECT_EQ(error(), kOpenSession);
}

// A card with a slot per PIN shows the same reader and token serial number in each slot: one
// card, changed through its first slot. Anything that tells the slots apart, or a slot that
// cannot be asked, makes them several cards.
TEST_F(PinOperations, SlotsOfOneCardCountAsOneCard) {
    const std::string kSeveral = kSeveralCards;
    CardReader pin_slot, other_reader, other_serial, absent;
    pin_slot.label = "Demo Card (sig)";  // the token labels of one card's slots differ
    other_reader.description = "Simulated Reader 1";
    other_serial.serial = "0000000000000002";
    absent.present = false;
    struct Case {
        const char* what;
        std::vector<CardReader> readers;
        std::string faults;
        int changed;  // the reader whose PIN changes, or -1 for the several-cards box
    } cases[] = {
        {"two slots of one card", {CardReader{}, pin_slot}, "", 0},
        {"three slots of one card after an empty reader",
         {absent, CardReader{}, pin_slot, pin_slot},
         "",
         1},
        {"another reader, the same serial number", {CardReader{}, other_reader}, "", -1},
        {"the same reader, another serial number", {CardReader{}, other_serial}, "", -1},
        {"one card's two slots and another card", {CardReader{}, pin_slot, other_serial}, "", -1},
        {"the slot cannot be asked", {CardReader{}, pin_slot}, "C_GetSlotInfo = 0x30", -1},
        {"the token cannot be asked", {CardReader{}, pin_slot}, "C_GetTokenInfo = 0x30", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start(c.readers, c.faults);
        const int result = run(kChangePin, "1234", "5678", "5678");
        if (c.changed < 0) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(error(), kSeveral);
            EXPECT_EQ(card_->trace().find("C_OpenSession"), std::string::npos);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_TRUE(boxes_.empty());
            EXPECT_EQ(card_state().s_slotId, CK_SLOT_ID(c.changed));
            for (size_t r = 0; r < c.readers.size(); ++r) {
                if (!c.readers[r].present)
                    continue;
                EXPECT_EQ(card_->value("pin", int(r)), int(r) == c.changed ? "5678" : "1234")
                    << "reader " << r;
            }
        }
        TearDown();
    }
}

TEST_F(PinOperations, OkRunsTheOperationOfThePageOnView) {
    for (int mask = 0; mask < 8; ++mask) {
        const int shown[] = {(mask >> 2) & 1, (mask >> 1) & 1, mask & 1};
        const int visible = shown[0] + shown[1] + shown[2];
        for (int position = 0; position < std::max(visible, 1); ++position) {
            g_showChangePin = shown[0];
            g_showUnblockPin = shown[1];
            g_showChangePuk = shown[2];
            start();
            // Every field that is still in the window gets a value that suits its page.
            const std::pair<const char*, const char*> values[] = {{"entryOld", "1234"},
                                                                  {"entryNew", "1111"},
                                                                  {"entryConfirm", "1111"},
                                                                  {"entry1", "12345678"},
                                                                  {"entry2", "2222"},
                                                                  {"entry3", "2222"},
                                                                  {"entryOldPuk", "12345678"},
                                                                  {"entryNewPuk", "33333333"},
                                                                  {"entryConfirmPuk", "33333333"}};
            for (const auto& [name, value] : values) {
                if (GtkWidget* w = glade_xml_get_widget(builder_, name)) {
                    gtk_entry_set_text(GTK_ENTRY(w), value);
                }
            }
            GtkNotebook* notebook = GTK_NOTEBOOK(glade_xml_get_widget(builder_, "notebook1"));
            gtk_notebook_set_current_page(notebook, position);
            {
                BoxWatcher watcher;
                gtk_button_clicked(GTK_BUTTON(glade_xml_get_widget(builder_, "BtnOk")));
                boxes_ = watcher.boxes;
            }
            // Which operation ran is seen on the card.
            std::string ran = "none";
            if (card_->value("pin") == "1111")
                ran = "ChangePin";
            if (card_->value("pin") == "2222")
                ran = "UnblockPin";
            if (card_->value("puk") == "33333333")
                ran = "ChangePuk";
            const int page = visible == 0 ? -1 : page_at_position(position);
            const char* expected[] = {"ChangePin", "UnblockPin", "ChangePuk"};
            EXPECT_EQ(ran, page < 0 ? "none" : expected[page])
                << "switches " << mask << " position " << position;
            EXPECT_EQ(boxes_.size(), page < 0 ? 0u : 1u);
            TearDown();
        }
    }
}

TEST_F(PinOperations, SuccessClearsEveryFieldAndFocusesTheFirstFieldOfThePage) {
    g_showChangePin = 0;
    g_showUnblockPin = 0;
    start();
    support::set_text(builder_, "entryOldPuk", "12345678");
    support::set_text(builder_, "entryNewPuk", "87654321");
    support::set_text(builder_, "entryConfirmPuk", "87654321");
    gtk_widget_grab_focus(glade_xml_get_widget(builder_, "entryConfirmPuk"));
    BoxWatcher watcher;
    onClickBtnOk(nullptr, builder_);
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text, kSuccess);
    EXPECT_EQ(watcher.boxes[0].type, GTK_MESSAGE_INFO);
    EXPECT_EQ(card_->value("puk"), "87654321");
    for (const char* name : {"entryOldPuk", "entryNewPuk", "entryConfirmPuk"}) {
        EXPECT_EQ(support::text(builder_, name), "") << name;
    }
    EXPECT_TRUE(gtk_widget_is_focus(glade_xml_get_widget(builder_, "entryOldPuk")));
}

TEST_F(PinOperations, SuccessEmptiesAllNineFieldsFailureKeepsThem) {
    start();
    const char* names[] = {"entry1",      "entry2",      "entry3",
                           "entryOld",    "entryNew",    "entryConfirm",
                           "entryOldPuk", "entryNewPuk", "entryConfirmPuk"};
    for (const char* name : names)
        support::set_text(builder_, name, "9999");
    support::set_text(builder_, "entryOld", "1234");
    support::set_text(builder_, "entryNew", "4444");
    support::set_text(builder_, "entryConfirm", "4444");

    GtkNotebook* notebook = GTK_NOTEBOOK(glade_xml_get_widget(builder_, "notebook1"));
    gtk_notebook_set_current_page(notebook, 1);  // Unblock PIN, with a wrong PUK
    gtk_widget_grab_focus(glade_xml_get_widget(builder_, "entry3"));
    {
        BoxWatcher watcher;
        onClickBtnOk(nullptr, builder_);
        EXPECT_EQ(watcher.only().text, kWrongPuk);
    }
    EXPECT_EQ(support::text(builder_, "entry1"), "9999") << "failure keeps the texts";
    EXPECT_TRUE(gtk_widget_is_focus(glade_xml_get_widget(builder_, "entry3"))) << "and the focus";

    gtk_notebook_set_current_page(notebook, 0);
    {
        BoxWatcher watcher;
        onClickBtnOk(nullptr, builder_);
        EXPECT_EQ(watcher.only().text, kSuccess);
    }
    for (const char* name : names)
        EXPECT_EQ(support::text(builder_, name), "") << name;
    EXPECT_TRUE(gtk_widget_is_focus(glade_xml_get_widget(builder_, "entryOld")));
}

TEST_F(PinOperations, EnterInAFieldDoesWhatOkDoes) {
    start();
    support::set_text(builder_, "entryOld", "1234");
    support::set_text(builder_, "entryNew", "4321");
    support::set_text(builder_, "entryConfirm", "4321");
    GtkWidget* confirm = glade_xml_get_widget(builder_, "entryConfirm");
    gtk_widget_grab_focus(confirm);
    BoxWatcher watcher;
    ASSERT_TRUE(gtk_test_widget_send_key(confirm, GDK_KEY_Return, GdkModifierType(0)));
    // Key events travel through the X server: wait for the box, then a little longer to
    // see that the operation ran once only.
    for (int i = 0; i < 200 && watcher.boxes.empty(); ++i)
        support::pump(10);
    support::pump(400);
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text, kSuccess);
    EXPECT_EQ(card_->value("pin"), "4321");
    EXPECT_EQ(support::text(builder_, "entryConfirm"), "");
}

// While a slow card works on OK the dialog keeps running but starts nothing more: the pages,
// OK and Info are insensitive under the busy cursor, and a second OK or Info returns at once.
// Afterwards they come back, with the focus where it was.
TEST_F(PinOperations, ASlowCardKeepsTheDialogAliveAndOneOperationAtATime) {
    card_ = std::make_unique<SimCard>();
    setenv("P11DELAY_MODULE", SIMCARD_PATH, 1);
    setenv("P11DELAY_CALL", "C_Login", 1);
    setenv("P11DELAY_SECONDS", "1", 1);
    ASSERT_EQ(support::load_module(P11_DELAY_PATH), 1);
    builder_ = support::start_dialog();
    support::set_text(builder_, "entryOld", "9999");  // a wrong PIN: the fields stay
    support::set_text(builder_, "entryNew", "4321");
    support::set_text(builder_, "entryConfirm", "4321");
    GtkWidget* confirm = glade_xml_get_widget(builder_, "entryConfirm");
    gtk_widget_grab_focus(confirm);

    // What the dialog looks like half-way through the slow call.
    struct Midway {
        GladeXML* builder = nullptr;
        bool ran = false;
        std::vector<std::string> sensitive;
        bool busy_cursor = false;
    } midway;
    midway.builder = builder_;
    g_timeout_add(
        500,
        [](gpointer data) -> gboolean {
            auto* m = static_cast<Midway*>(data);
            m->ran = true;
            for (const char* name : {"notebook1", "entryOld", "BtnOk", "BtnInfo", "BtnCancel"}) {
                if (gtk_widget_is_sensitive(glade_xml_get_widget(m->builder, name)))
                    m->sensitive.push_back(name);
            }
            GtkWidget* window = glade_xml_get_widget(m->builder, "dialog1");
            m->busy_cursor = gdk_window_get_cursor(gtk_widget_get_window(window)) != nullptr;
            onClickBtnOk(nullptr, m->builder);
            onClickBtnInfo(nullptr, m->builder);
            return FALSE;
        },
        &midway);
    BoxWatcher watcher;
    const gint64 start = g_get_monotonic_time();
    onClickBtnOk(nullptr, builder_);
    EXPECT_GE(g_get_monotonic_time() - start, 1000000);
    ASSERT_TRUE(midway.ran) << "the main loop ran while the card worked";
    EXPECT_EQ(midway.sensitive, std::vector<std::string>{"BtnCancel"});
    EXPECT_TRUE(midway.busy_cursor);
    EXPECT_EQ(watcher.only().text, kWrongPin) << "the second OK and Info started nothing";
    const std::string trace = card_->trace();
    EXPECT_EQ(trace.find("C_Login "), trace.rfind("C_Login ")) << trace;

    for (const char* name : {"notebook1", "entryOld", "BtnOk", "BtnInfo"})
        EXPECT_TRUE(gtk_widget_is_sensitive(glade_xml_get_widget(builder_, name))) << name;
    GtkWidget* window = glade_xml_get_widget(builder_, "dialog1");
    EXPECT_EQ(gdk_window_get_cursor(gtk_widget_get_window(window)), nullptr);
    EXPECT_TRUE(gtk_widget_is_focus(confirm));
    EXPECT_EQ(support::text(builder_, "entryOld"), "9999");
    for (const char* name : {"P11DELAY_MODULE", "P11DELAY_CALL", "P11DELAY_SECONDS"})
        unsetenv(name);
}
