// SPDX-License-Identifier: MIT
// Tests of the Info box: the card's fixed-width fields, the PIN and PUK states, the lengths,
// and translations that try to write past the texts' buffers.
#include <algorithm>
#include <clocale>
#include <memory>
#include <regex>

#include "testkit.h"

using support::BoxWatcher;
using support::CardReader;
using support::SimCard;
using namespace shown_texts;

namespace {

std::string padded(const std::string& s, size_t width) {
    return s + std::string(width - s.size(), ' ');
}

// The fields of the Info box as the holder reads them, the statuses first; by default the
// demo card's.
struct ShownFields {
    std::string pin = kPinOk, puk = kPukOk, serial = "0000000000000001";
    std::string label = padded("Demo Card", 32), model = padded("SimCard", 16);
    int min_pin = 4, max_pin = 8;
    std::string reader = padded("Simulated Reader 0", 64);
};

std::string expected_box(const ShownFields& f) {
    std::unique_ptr<gchar, decltype(&g_free)> text(
        g_strdup_printf(kCardInfo, f.serial.c_str(), f.label.c_str(), f.model.c_str(), f.min_pin,
                        f.max_pin, f.reader.c_str(), f.pin.c_str(), f.puk.c_str()),
        g_free);
    return text.get();
}

class CardInfo : public testing::Test {
protected:
    // Presses Info with one card; returns the boxes it showed.
    std::vector<support::SeenBox> press(const std::vector<CardReader>& readers,
                                        const std::string& faults = "") {
        card_ = std::make_unique<SimCard>(readers, faults);
        const int loaded = support::load_module(SIMCARD_PATH);
        EXPECT_EQ(loaded, 1);
        BoxWatcher watcher;
        onClickBtnInfo(nullptr, nullptr);
        return watcher.boxes;
    }
    std::string info_text(const CardReader& reader) {
        const auto boxes = press({reader});
        support::unload_module();
        EXPECT_EQ(boxes.size(), 1u);
        if (boxes.empty())
            return "<no box>";
        EXPECT_EQ(boxes[0].type, GTK_MESSAGE_INFO);
        return boxes[0].text;
    }
    void TearDown() override { support::unload_module(); }
    std::unique_ptr<SimCard> card_;
};

CardReader with_flags(CK_FLAGS flags) {
    CardReader r;
    r.extra_flags = flags;
    return r;
}

}  // namespace

TEST_F(CardInfo, TheWholeBoxWithBlankPaddedFields) {
    EXPECT_EQ(info_text(CardReader{}), expected_box({}));
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
        EXPECT_EQ(info_text(with_flags(c.flags)), expected_box({c.pin, c.puk}))
            << std::hex << c.flags;
    }

    // What the card's own counters say, one flag at a time, after 1, 2 and 3 wrong PINs.
    const char* const by_tries_left[] = {kPinLocked, kLastTryLeft, kWrongTryMade};
    for (int left = 0; left < 3; ++left) {
        CardReader counted;
        counted.now.pin_tries = static_cast<CK_ULONG>(left);
        EXPECT_EQ(info_text(counted), expected_box({by_tries_left[left]}));
    }
}

TEST_F(CardInfo, FieldWidthsLengthsAndPercentSigns) {
    CardReader r;
    r.label = "Seven77";
    r.description = std::string(64, 'R');
    r.serial = "ABCDEFGHIJKLMNOP";
    r.model = "100% %s model";
    EXPECT_EQ(info_text(r), expected_box({kPinOk, kPukOk, "ABCDEFGHIJKLMNOP", padded("Seven77", 32),
                                          "100% %s model   ", 4, 8, std::string(64, 'R')}));

    CardReader label;
    label.label = "50% off %d%n";
    ShownFields shown;
    shown.label = padded("50% off %d%n", 32);
    EXPECT_EQ(info_text(label), expected_box(shown));
}

TEST_F(CardInfo, MaximumLengthWithAllBitsSetShowsMinusOne) {
    CardReader r;
    r.max_pin = ~CK_ULONG(0);  // the standard's "information unavailable"
    const auto boxes = press({r});
    ASSERT_EQ(boxes.size(), 1u);
    ShownFields shown;
    shown.max_pin = -1;
    EXPECT_EQ(boxes[0].text, expected_box(shown));
}

TEST_F(CardInfo, FailingQueriesShowEmptyFieldsAndNoCardShowsOnlyItsBox) {
    const auto failing = press({CardReader{}}, "C_GetTokenInfo = 0x30\nC_GetSlotInfo = 0x30");
    ASSERT_EQ(failing.size(), 1u);
    EXPECT_EQ(failing[0].text, expected_box({kPinOk, kPukOk, "", "", "", 0, 0, ""}));
    support::unload_module();

    CardReader absent;
    absent.present = false;
    const auto none = press({absent});
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(none[0].text, shown_texts::kNoCard);
}

TEST_F(CardInfo, EachPressOpensANewSessionAndLeavesItOpen) {
    press({CardReader{}});
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
                            "msgid \"" +
                            std::regex_replace(kCardInfo, std::regex("\n"), "\\n") +
                            "\"\nmsgstr \"%s%s%s%s%s%s%s%s%s%s%n\"\n");
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

    const auto boxes = press({CardReader{}});
    setlocale(LC_ALL, "C.UTF-8");
    textdomain("messages");
    ASSERT_EQ(boxes.size(), 1u);
    // The translated format reads other arguments than the original: the original is used,
    // and the statuses are cut to their buffers.
    EXPECT_EQ(boxes[0].text, expected_box({std::string(127, 'L'), accented.substr(0, 126)}))
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
        std::string CardReader::*field;
        std::string ShownFields::*line;  // where the box shows it
        std::string value;
        std::string shown;
    };
    const std::string euro = "\xe2\x82\xac";
    const Case cases[] = {
        {&CardReader::label, &ShownFields::label, "\xff\xfeHolder",
         "\\xff\\xfeHolder" + padded("", 24)},
        {&CardReader::label, &ShownFields::label, std::string(30, 'a') + "\xe2\x82",
         std::string(30, 'a') + "\\xe2\\x82"},  // a character cut off by the field's end
        {&CardReader::label, &ShownFields::label, std::string(32, '\xff'),
         ff31},  // 32 bytes: 31 fit
        {&CardReader::label, &ShownFields::label, "\xf0\x9f\x98\x80 ok",
         "\xf0\x9f\x98\x80 ok" + padded("", 25)},
        {&CardReader::model, &ShownFields::model, "\xc0\xafSim" + euro,
         "\\xc0\\xafSim" + euro + padded("", 8)},  // an overlong form
        {&CardReader::serial, &ShownFields::serial, "\xed\xa0\x80\xf4\x90\x80\x80",
         "\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80" + padded("", 9)},  // a surrogate, beyond U+10FFFF
        {&CardReader::description, &ShownFields::reader,
         std::string(30, '\xff') + euro + euro + euro,
         ff31.substr(0, 30 * 4) + euro + euro},  // the third euro sign does not fit
        // A line of its own forged by the card, a terminal's escape sequence, tab and DEL.
        {&CardReader::label, &ShownFields::label, "Ctl\nPIN status: PIN OK",
         "Ctl\\x0aPIN status: PIN OK" + padded("", 10)},
        {&CardReader::label, &ShownFields::label, "\x01\x07\x1b[31mred\t\x7f",
         "\\x01\\x07\\x1b[31mred\\x09\\x7f" + padded("", 20)},
        {&CardReader::model, &ShownFields::model, "\xc2\x85\xc2\x9fok",
         "\\xc2\\x85\\xc2\\x9fok" + padded("", 10)},
        // Right-to-left override, left-to-right isolate, right-to-left mark.
        {&CardReader::serial, &ShownFields::serial,
         "\xe2\x80\xae"
         "evil\xe2\x81\xa6\xe2\x80\x8f",
         "\\xe2\\x80\\xaeevil\\xe2\\x81\\xa6\\xe2\\x80\\x8f" + padded("", 3)},
        {&CardReader::description, &ShownFields::reader, std::string(64, '\n'),
         [] {
             std::string s;
             for (int i = 0; i < 31; ++i)
                 s += "\\x0a";
             return s;
         }()},
        // An override whose three escapes do not all fit is left out whole.
        {&CardReader::description, &ShownFields::reader, std::string(30, '\xff') + "\xe2\x80\xae",
         ff31.substr(0, 30 * 4)},
    };
    for (const Case& c : cases) {
        CardReader r;
        r.*c.field = c.value;
        const std::string box = info_text(r);
        SCOPED_TRACE(c.value);
        EXPECT_TRUE(g_utf8_validate(box.c_str(), -1, nullptr)) << box;
        ShownFields shown;
        shown.*c.line = c.shown;
        EXPECT_EQ(box, expected_box(shown));
        EXPECT_LE(c.shown.size(), 127u);
        EXPECT_EQ(std::count(box.begin(), box.end(), '\n'), 7) << box;
    }
}
