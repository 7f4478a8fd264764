// SPDX-License-Identifier: MIT
// Tests of the Info box: the card's fixed-width fields, the PIN and PUK states, the lengths,
// and translations that try to write past the texts' buffers.
#include <algorithm>
#include <clocale>
#include <memory>

#include "testkit.h"

using testkit::BoxWatcher;
using testkit::Reader;
using testkit::SimCard;
using namespace shown_texts;

namespace {

std::string padded(const std::string& s, size_t width) {
    return s + std::string(width - s.size(), ' ');
}

std::string expected_box(const std::string& serial, const std::string& label,
                         const std::string& model, const std::string& lengths,
                         const std::string& reader, const std::string& pin,
                         const std::string& puk) {
    return "Card Informations:\nSerial Number: " + serial + "\nLabel: " + label +
           "\nModel: " + model + "\nPin Lenght: " + lengths + "\nReader in use:" + reader +
           "\nPIN status: " + pin + "\nPUK status: " + puk;
}

class CardInfo : public testing::Test {
protected:
    // Presses Info with one card; returns the boxes it showed.
    std::vector<testkit::SeenBox> press(const std::vector<Reader>& readers,
                                        const std::string& faults = "") {
        card_ = std::make_unique<SimCard>(readers, faults);
        testing::internal::CaptureStderr();
        const int loaded = testkit::load_module(SIMCARD_PATH);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(loaded, 1);
        BoxWatcher watcher;
        onClickBtnInfo(nullptr, nullptr);
        return watcher.boxes;
    }
    std::string info_text(const Reader& reader) {
        const auto boxes = press({reader});
        testkit::unload_module();
        EXPECT_EQ(boxes.size(), 1u);
        if (boxes.empty())
            return "<no box>";
        EXPECT_EQ(boxes[0].type, GTK_MESSAGE_INFO);
        return boxes[0].text;
    }
    void TearDown() override { testkit::unload_module(); }
    std::unique_ptr<SimCard> card_;
};

Reader with_flags(CK_FLAGS flags) {
    Reader r;
    r.extra_flags = flags;
    return r;
}

std::string status_lines(const std::string& box) {
    return box.substr(box.find("\nPIN status: ") + 1);
}

}  // namespace

TEST_F(CardInfo, TheWholeBoxWithBlankPaddedFields) {
    EXPECT_EQ(info_text(Reader{}),
              expected_box("0000000000000001", padded("Demo Card", 32), padded("SimCard", 16),
                           "min.4,max.8", padded("Simulated Reader 0", 64), kPinOk, kPukOk));
}

TEST_F(CardInfo, PinAndPukStatesInTheirTestOrder) {
    const struct {
        CK_FLAGS flags;
        const char* pin;
        const char* puk;
    } by_flags[] = {
        {0x0, kPinOk, kPukOk},
        {0x50000, kWrongTryMade, kPukOk},  // count-low with locked
        {0x20000, kLastTryLeft, kPukOk},
        {0x40000, kPinLocked, kPukOk},
        {0x400000, kPinOk, kPukLocked},
        {0x300000, kPinOk, kWrongTryMade},
        {0x200000, kPinOk, kLastTryLeft},
    };
    for (const auto& c : by_flags) {
        EXPECT_EQ(status_lines(info_text(with_flags(c.flags))),
                  std::string("PIN status: ") + c.pin + "\nPUK status: " + c.puk)
            << std::hex << c.flags;
    }

    // What the card's own counters say, one flag at a time, after 1, 2 and 3 wrong PINs.
    const char* const by_tries_left[] = {kPinLocked, kLastTryLeft, kWrongTryMade};
    for (int left = 0; left < 3; ++left) {
        Reader counted;
        counted.now.pin_tries = static_cast<CK_ULONG>(left);
        EXPECT_EQ(status_lines(info_text(counted)),
                  std::string("PIN status: ") + by_tries_left[left] + "\nPUK status: " + kPukOk);
    }
}

TEST_F(CardInfo, FieldWidthsLengthsAndPercentSigns) {
    Reader r;
    r.label = "Seven77";
    r.description = std::string(64, 'R');
    r.serial = "ABCDEFGHIJKLMNOP";
    r.model = "100% %s model";
    const std::string box = info_text(r);
    EXPECT_NE(box.find("\nLabel: Seven77" + std::string(25, ' ') + "\n"), std::string::npos);
    EXPECT_NE(box.find("\nReader in use:" + std::string(64, 'R') + "\n"), std::string::npos);
    EXPECT_NE(box.find("Serial Number: ABCDEFGHIJKLMNOP\n"), std::string::npos);
    EXPECT_NE(box.find("\nModel: 100% %s model   \n"), std::string::npos) << box;

    Reader label;
    label.label = "50% off %d%n";
    EXPECT_NE(info_text(label).find("\nLabel: " + padded("50% off %d%n", 32) + "\n"),
              std::string::npos);
}

TEST_F(CardInfo, MaximumLengthWithAllBitsSetShowsMinusOne) {
    Reader r;
    r.max_pin = ~CK_ULONG(0);  // the standard's "information unavailable"
    const auto boxes = press({r});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("Pin Lenght: min.4,max.-1\n"), std::string::npos) << boxes[0].text;
}

TEST_F(CardInfo, FailingQueriesShowEmptyFieldsAndNoCardShowsOnlyItsBox) {
    const auto failing = press({Reader{}}, "C_GetTokenInfo = 0x30\nC_GetSlotInfo = 0x30");
    ASSERT_EQ(failing.size(), 1u);
    EXPECT_EQ(failing[0].text, expected_box("", "", "", "min.0,max.0", "", kPinOk, kPukOk));
    testkit::unload_module();

    Reader absent;
    absent.present = false;
    const auto none = press({absent});
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(none[0].text, shown_texts::kNoCard);
}

TEST_F(CardInfo, EachPressOpensANewSessionAndLeavesItOpen) {
    press({Reader{}});
    const CK_SESSION_HANDLE first = card_state().s_hSession;
    BoxWatcher watcher;
    onClickBtnInfo(nullptr, nullptr);
    EXPECT_EQ(watcher.boxes.size(), 1u);
    EXPECT_NE(card_state().s_hSession, first);
    const std::string trace = card_->trace();
    EXPECT_EQ(trace.find("C_CloseSession"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("C_Login"), std::string::npos) << "Info never logs in";
}

TEST_F(CardInfo, TranslationsNeverWritePastTheTexts) {
    support::TempDir dir;
    const std::filesystem::path messages = dir.path() / "de" / "LC_MESSAGES";
    std::filesystem::create_directories(messages);
    const std::string long_text(400, 'L');
    std::string accented;
    for (int i = 0; i < 200; ++i)
        accented += "\xc3\xa9";  // é, two bytes each
    support::write_file(dir.path() / "xx.po",
                        "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                        "msgid \"" +
                            std::string(kPinOk) + "\"\nmsgstr \"" + long_text +
                            "\"\n\n"
                            "msgid \"" +
                            kPukOk + "\"\nmsgstr \"" + accented +
                            "\"\n\n"
                            "msgid \"Card Informations:\\nSerial Number: %s\\nLabel: %s\\nModel: "
                            "%s\\nPin Lenght: min.%d,max.%d\\nReader in use:%s\\nPIN status: "
                            "%s\\nPUK status: %s\"\nmsgstr \"%s%s%s%s%s%s%s%s%s%s%n\"\n");
    const std::string mo = (messages / PINMAN_TEXT_DOMAIN ".mo").string();
    ASSERT_EQ(
        std::system(("msgfmt -o '" + mo + "' '" + (dir.path() / "xx.po").string() + "'").c_str()),
        0);
    // A real German locale (made for the tests, found through LOCPATH) picks the catalogue.
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "no de_DE.UTF-8 in LOCPATH";
    bindtextdomain(PINMAN_TEXT_DOMAIN, dir.path().c_str());
    bind_textdomain_codeset(PINMAN_TEXT_DOMAIN, "UTF-8");
    textdomain(PINMAN_TEXT_DOMAIN);
    ASSERT_EQ(std::string(gettext(kPinOk)), long_text) << "the catalogue is in use";

    const auto boxes = press({Reader{}});
    setlocale(LC_ALL, "C.UTF-8");
    textdomain("messages");
    ASSERT_EQ(boxes.size(), 1u);
    // The translated format reads other arguments than the original: the original is used,
    // and the statuses are cut to their buffers.
    EXPECT_EQ(boxes[0].text,
              expected_box("0000000000000001", padded("Demo Card", 32), padded("SimCard", 16),
                           "min.4,max.8", padded("Simulated Reader 0", 64), std::string(127, 'L'),
                           accented.substr(0, 126)))
        << "a status cut to its buffer ends on a whole character";
}

TEST_F(CardInfo, FieldsThatAreNotUtf8AreShownEscapedWithinTheirBuffers) {
    // Each field's bytes and its line in the box: invalid bytes and control characters (C0,
    // DEL, C1, bidirectional controls) as \xHH, other valid characters as they are, never
    // more than 127 bytes and never part of a character or of an escape; the box keeps its
    // eight lines, whatever the card says.
    const std::string ff31 = [] {
        std::string s;
        for (int i = 0; i < 31; ++i)
            s += "\\xff";
        return s;
    }();
    struct Case {
        std::string Reader::*field;
        const char* line;  // the line's start in the box
        std::string value;
        std::string shown;
    };
    const std::string euro = "\xe2\x82\xac";
    const Case cases[] = {
        {&Reader::label, "Label: ", "\xff\xfeHolder", "\\xff\\xfeHolder" + padded("", 24)},
        {&Reader::label, "Label: ", std::string(30, 'a') + "\xe2\x82",
         std::string(30, 'a') + "\\xe2\\x82"},  // a character cut off by the field's end
        {&Reader::label, "Label: ", std::string(32, '\xff'), ff31},  // 32 bytes: 31 fit
        {&Reader::label, "Label: ", "\xf0\x9f\x98\x80 ok", "\xf0\x9f\x98\x80 ok" + padded("", 25)},
        {&Reader::model, "Model: ", "\xc0\xafSim" + euro,
         "\\xc0\\xafSim" + euro + padded("", 8)},  // an overlong form
        {&Reader::serial, "Serial Number: ", "\xed\xa0\x80\xf4\x90\x80\x80",
         "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80" + padded("", 9)},  // a surrogate, beyond U+10FFFF
        {&Reader::description, "Reader in use:", std::string(30, '\xff') + euro + euro + euro,
         ff31.substr(0, 30 * 4) + euro + euro},  // the third euro sign does not fit
        // A line of its own forged by the card, a terminal's escape sequence, tab and DEL.
        {&Reader::label, "Label: ", "Ctl\nPIN status: PIN OK",
         "Ctl\\x0aPIN status: PIN OK" + padded("", 10)},
        {&Reader::label, "Label: ", "\x01\x07\x1b[31mred\t\x7f",
         "\\x01\\x07\\x1b[31mred\\x09\\x7f" + padded("", 20)},
        {&Reader::model, "Model: ", "\xc2\x85\xc2\x9fok",
         "\\xc2\\x85\\xc2\\x9fok" + padded("", 10)},
        // Right-to-left override, left-to-right isolate, right-to-left mark.
        {&Reader::serial, "Serial Number: ",
         "\xe2\x80\xae"
         "evil\xe2\x81\xa6\xe2\x80\x8f",
         "\\xe2\\x80\\xaeevil\\xe2\\x81\\xa6\\xe2\\x80\\x8f" + padded("", 3)},
        {&Reader::description, "Reader in use:", std::string(64, '\n'),
         [] {
             std::string s;
             for (int i = 0; i < 31; ++i)
                 s += "\\x0a";
             return s;
         }()},
        // An override whose three escapes do not all fit is left out whole.
        {&Reader::description, "Reader in use:", std::string(30, '\xff') + "\xe2\x80\xae",
         ff31.substr(0, 30 * 4)},
    };
    for (const Case& c : cases) {
        Reader r;
        r.*c.field = c.value;
        const std::string box = info_text(r);
        SCOPED_TRACE(c.value);
        EXPECT_TRUE(g_utf8_validate(box.c_str(), -1, nullptr)) << box;
        const size_t at = box.find(std::string("\n") + c.line);
        ASSERT_NE(at, std::string::npos) << box;
        const size_t start = at + 1 + strlen(c.line);
        EXPECT_EQ(box.substr(start, box.find('\n', start) - start), c.shown);
        EXPECT_LE(c.shown.size(), 127u);
        EXPECT_EQ(std::count(box.begin(), box.end(), '\n'), 7) << box;
    }
}
