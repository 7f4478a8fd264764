// SPDX-License-Identifier: MIT
// Tests of the start-up certificate check: certificates made here with OpenSSL and put on
// the simulated card, the classification against a given clock, and the times of the
// diagnostic lines.
#include <cstring>
#include <memory>
#include <regex>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "pinman_internal.h"
#include "testkit.h"

namespace fs = std::filesystem;
using support::BoxWatcher;
using support::CardReader;
using support::SimCard;
using namespace shown_texts;

namespace {

// The certificate check's box that lists `lines`, each a prefix and a certificate's label.
std::string cert_box(const std::vector<std::pair<const char*, std::string>>& lines) {
    std::string box = kCertificatesStatus;
    for (const auto& [prefix, label] : lines)
        box += prefix + ("'" + label + "'\n");
    return box;
}

constexpr long kDay = 86400;
constexpr int kWindow = 30 * kDay;

struct Validity {
    long notBefore;  // seconds from now
    long notAfter;
};

// Validity times written as they stand, read or not: null keeps the computed time.
struct RawTimes {
    const char* notBefore;
    const char* notAfter;
    int type;
};

void set_raw(ASN1_TIME* t, const char* text, int type) {
    if (text == nullptr)
        return;
    ASN1_STRING_set(t, text, -1);
    t->type = type;
}

// A self-signed certificate with common name `cn` (none when empty) of the string type
// `cnType`, as DER bytes.
std::string make_certificate(const std::string& cn, Validity v, time_t absolute_not_after = 0,
                             RawTimes raw = {nullptr, nullptr, V_ASN1_UTCTIME},
                             int cnType = V_ASN1_UTF8STRING) {
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), v.notBefore);
    if (absolute_not_after != 0) {
        ASN1_TIME_set(X509_getm_notAfter(x), absolute_not_after);
    } else {
        X509_gmtime_adj(X509_getm_notAfter(x), v.notAfter);
    }
    set_raw(X509_getm_notBefore(x), raw.notBefore, raw.type);
    set_raw(X509_getm_notAfter(x), raw.notAfter, raw.type);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Pin Manager tests"), -1, -1,
                               0);
    if (!cn.empty()) {
        // Added as a plain string, so that names beyond the usual 64 characters can be made.
        X509_NAME_add_entry_by_NID(name, NID_commonName, cnType,
                                   reinterpret_cast<const unsigned char*>(cn.data()),
                                   static_cast<int>(cn.size()), -1, 0);
    }
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int len = i2d_X509(x, &der);
    std::string bytes(reinterpret_cast<char*>(der), len);
    OPENSSL_free(der);
    X509_free(x);
    return bytes;
}

struct CertFile {
    std::string name;
    std::string bytes;
};

class CertCheck : public testing::Test {
protected:
    // Puts the certificates on one card (in this order), runs the check, keeps its output.
    void check(const std::vector<CertFile>& certs, std::vector<CardReader> readers = {},
               const std::string& faults = "") {
        if (readers.empty())
            readers.push_back(CardReader{});
        for (size_t i = 0; i < certs.size(); ++i) {
            readers[0].cert_files.push_back("cert" + std::to_string(i) + ".der");
        }
        // The card reads its certificate files when the module is initialised.
        card_ = std::make_unique<SimCard>(readers, faults);
        for (size_t i = 0; i < certs.size(); ++i) {
            support::write_file(card_->folder() / readers[0].cert_files[i], certs[i].bytes);
        }
        ASSERT_EQ(support::load_module(SIMCARD_PATH), 1);
        g_checkExpire = kWindow;
        BoxWatcher watcher;
        testing::internal::CaptureStderr();
        result_ = CheckExpire();
        stderr_ = testing::internal::GetCapturedStderr();
        boxes_ = watcher.boxes;
    }
    void TearDown() override {
        support::unload_module();
        card_.reset();
        support::reset_settings();
    }
    int count(const std::string& what) const {
        int n = 0;
        for (size_t p = stderr_.find(what); p != std::string::npos; p = stderr_.find(what, p + 1))
            ++n;
        return n;
    }

    std::unique_ptr<SimCard> card_;
    int result_ = -1;
    std::string stderr_;
    std::vector<support::SeenBox> boxes_;
};

CertFile cert(const std::string& cn, Validity v) {
    return {cn, make_certificate(cn, v)};
}

time_t fixed_clock(time_t* out) {
    const time_t now = 1900000000;  // 2030-03-17
    if (out)
        *out = now;
    return now;
}

struct asn_time {
    explicit asn_time(time_t t) : p(ASN1_TIME_set(nullptr, t)) {}
    asn_time(const char* text, int type) : p(ASN1_TIME_new()) {
        ASN1_STRING_set(p, text, -1);
        p->type = type;
    }
    ~asn_time() { ASN1_TIME_free(p); }
    ASN1_TIME* p;
};

}  // namespace

TEST(Classification, BoundariesAgainstAGivenClock) {
    const time_t now = fixed_clock(nullptr);
    const asn_time past(now - kDay), at_now(now), next(now + 1), far(now + 10 * kWindow);
    const asn_time window_end(now + kWindow), before_window_end(now + kWindow - 1);
    EXPECT_EQ(classify_certificate(past.p, far.p, kWindow, fixed_clock), kCertFine);
    EXPECT_EQ(classify_certificate(at_now.p, far.p, kWindow, fixed_clock), kCertFine)
        << "notBefore equal to now is already valid";
    EXPECT_EQ(classify_certificate(next.p, far.p, kWindow, fixed_clock), kCertNotYetValid);
    EXPECT_EQ(classify_certificate(next.p, past.p, kWindow, fixed_clock), kCertNotYetValid)
        << "not yet valid wins over expired";
    EXPECT_EQ(classify_certificate(past.p, past.p, kWindow, fixed_clock), kCertExpired);
    EXPECT_EQ(classify_certificate(past.p, at_now.p, kWindow, fixed_clock), kCertAboutToExpire)
        << "notAfter equal to now is not expired yet";
    EXPECT_EQ(classify_certificate(past.p, before_window_end.p, kWindow, fixed_clock),
              kCertAboutToExpire);
    EXPECT_EQ(classify_certificate(past.p, window_end.p, kWindow, fixed_clock), kCertFine)
        << "notAfter equal to now plus the window gets no entry";
}

TEST(Classification, GeneralizedAndUnreadableTimes) {
    const time_t now = fixed_clock(nullptr);
    const asn_time past(now - kDay);
    const asn_time in2051("20510101000000Z", V_ASN1_GENERALIZEDTIME);
    const asn_time gone1960("19600101000000Z", V_ASN1_GENERALIZEDTIME);
    const asn_time soon("20300401000000Z", V_ASN1_GENERALIZEDTIME);
    const asn_time broken_generalized("2051130100000Z", V_ASN1_GENERALIZEDTIME);
    EXPECT_EQ(classify_certificate(past.p, in2051.p, kWindow, fixed_clock), kCertFine);
    EXPECT_EQ(classify_certificate(past.p, gone1960.p, kWindow, fixed_clock), kCertExpired);
    EXPECT_EQ(classify_certificate(past.p, soon.p, kWindow, fixed_clock), kCertAboutToExpire);
    EXPECT_EQ(classify_certificate(past.p, broken_generalized.p, kWindow, fixed_clock), kCertFine)
        << "an unreadable GeneralizedTime decides nothing";
    // A UTCTime the comparison cannot read compares as earlier than any time.
    for (const char* text : {"301317174640Z", "30031717464AZ", "300317174640+", "not a time"}) {
        const asn_time broken(text, V_ASN1_UTCTIME);
        EXPECT_EQ(classify_certificate(past.p, broken.p, kWindow, fixed_clock), kCertExpired)
            << text;
        EXPECT_EQ(classify_certificate(broken.p, broken.p, kWindow, fixed_clock), kCertExpired)
            << "an unreadable notBefore is not in the future: " << text;
    }
}

TEST_F(CertCheck, FlaggedCertificatesInOneBoxInHandleOrder) {
    check({cert("Future", {kDay, 400 * kDay}), cert("Expired", {-400 * kDay, -kDay}),
           cert("Soon", {-400 * kDay, 10 * kDay}), cert("Fine", {-400 * kDay, 400 * kDay}),
           cert("Odd", {kDay, -kDay})});
    EXPECT_EQ(result_, 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].type, GTK_MESSAGE_INFO);
    EXPECT_EQ(boxes_[0].text, cert_box({{kNotYetValidLine, "Future"},
                                        {kExpiredLine, "Expired"},
                                        {kExpiringLine, "Soon"},
                                        {kNotYetValidLine, "Odd"}}));
    EXPECT_EQ(card_state().s_hSession, 0u);
    const std::string trace = card_->trace();
    EXPECT_LT(trace.find("C_FindObjectsFinal"), trace.find("C_CloseSession"));
}

TEST_F(CertCheck, NamesThatAreNotUtf8OrHoldControlsAreShownEscaped) {
    // The name's bytes are taken as stored, whatever the string type: a T61String (Latin-1,
    // as old cards write) holding bytes that are no UTF-8, and a UTF8String.
    const std::string latin =
        "\xff\xfe"
        "Card \xe2\x82\xac";
    check({{latin, make_certificate(latin, {-400 * kDay, -kDay}, 0,
                                    {nullptr, nullptr, V_ASN1_UTCTIME}, V_ASN1_T61STRING)},
           cert("Caf\xc3\xa9", {kDay, 400 * kDay}),
           // Control characters: a forged line, a terminal's escape sequence, an override.
           cert("Ctl\x1b[31m\nX\xc2\x9b\xe2\x80\xae", {kDay, 400 * kDay})});
    ASSERT_EQ(boxes_.size(), 1u);
    const std::string controls = "Ctl\\x1b[31m\\x0aX\\xc2\\x9b\\xe2\\x80\\xae";
    EXPECT_EQ(boxes_[0].text, cert_box({{kExpiredLine, "\\xff\\xfeCard \xe2\x82\xac"},
                                        {kNotYetValidLine, "Caf\xc3\xa9"},
                                        {kNotYetValidLine, controls}}));
    EXPECT_NE(stderr_.find("Found certificate: '\\xff\\xfeCard \xe2\x82\xac'\n"), std::string::npos)
        << stderr_;
    EXPECT_NE(stderr_.find("Found certificate: '" + controls + "'\n"), std::string::npos)
        << stderr_;
}

TEST_F(CertCheck, DiagnosticLines) {
    check({cert("Expired", {-400 * kDay, -kDay})});
    const std::regex lines(
        "CheckExpire\\(\\)\nOpenSession OK\nFound 1 objects\n"
        "Found certificate: 'Expired'\ntime: ([0-9]+)\nnotBefore ([0-9]+)\nnotAfter ([0-9]+)\n"
        "time \\+ g_checkExpire: ([0-9]+)\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(stderr_, m, lines)) << stderr_;
    const long long now = std::stoll(m[1]);
    EXPECT_NEAR(std::stoll(m[2]), now - 400 * kDay, 5);
    EXPECT_NEAR(std::stoll(m[3]), now - kDay, 5);
    EXPECT_EQ(std::stoll(m[4]), now + kWindow);
}

TEST_F(CertCheck, DiagnosticTimesAtFixedPositionsYearsAndOffsets) {
    struct Case {
        const char* notBefore;
        int type;
        long long printed;
    };
    const Case cases[] = {
        {"490101000000Z", V_ASN1_UTCTIME, 2493072000LL},  // 49 is 2049
        {"500101000000Z", V_ASN1_UTCTIME, -631152000LL},  // 50 is 1950
        {"300317174640Z", V_ASN1_UTCTIME, 1900000000LL},
        {"300317174640+0100", V_ASN1_UTCTIME, 1900000000LL - 3600},  // one hour less than Z
        {"300317174640-0100", V_ASN1_UTCTIME, 1900000000LL + 3600},  // one hour more than Z
        {"300317174640+0130", V_ASN1_UTCTIME, 1900000000LL - 5400},
        {"20510101000000Z", V_ASN1_GENERALIZEDTIME, 2556144000LL},
        // Strings shorter than the positions read are not read past their end.
        {"3003170333", V_ASN1_UTCTIME, -1},
        {"300317174640", V_ASN1_UTCTIME, -1},     // no zone marker
        {"300317174640+01", V_ASN1_UTCTIME, -1},  // an offset cut short
        {"", V_ASN1_UTCTIME, -1},
    };
    std::vector<CertFile> certs;
    for (const Case& c : cases) {
        certs.push_back({c.notBefore, make_certificate("T", {-kDay, 400 * kDay}, 0,
                                                       {c.notBefore, nullptr, c.type})});
    }
    // And one whose notAfter has month 13: reported expired, not passed over.
    certs.push_back({"month13", make_certificate("Month13", {-kDay, 400 * kDay}, 0,
                                                 {nullptr, "301317174640Z", V_ASN1_UTCTIME})});
    check(certs);
    // From OpenSSL 3.5 on, d2i_X509 refuses a UTCTime shorter than its 13 characters
    // ("utctime is too short"): such a certificate cannot be decoded and is skipped silently,
    // so it prints no times. Older versions decode it, and the check reads no further than
    // the string's end.
    const bool refuses_short_utc_time = OpenSSL_version_num() >= 0x30500000L;
    std::vector<long long> expected;
    for (const Case& c : cases) {
        if (!(refuses_short_utc_time && c.type == V_ASN1_UTCTIME && strlen(c.notBefore) < 13))
            expected.push_back(c.printed);
    }
    const std::regex line("notBefore (-?[0-9]+)\n");
    std::vector<long long> printed;
    for (auto it = std::sregex_iterator(stderr_.begin(), stderr_.end(), line);
         it != std::sregex_iterator(); ++it) {
        printed.push_back(std::stoll((*it)[1]));
    }
    ASSERT_EQ(printed.size(), expected.size() + 1) << stderr_;
    EXPECT_EQ(count("Found certificate:"), static_cast<int>(expected.size()) + 1)
        << "a certificate the library cannot decode is skipped silently";
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(printed[i], expected[i]) << "certificate " << i;
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_NE(boxes_[0].text.find(std::string(kExpiredLine) + "'Month13'\n"), std::string::npos)
        << boxes_[0].text;
}

TEST_F(CertCheck, BeyondTwoThousandFiftyNoNameAndBrokenValues) {
    const time_t in2051 = 2556144000;
    check({{"Long", make_certificate("Long", {-kDay, 0}, in2051)},
           {"", make_certificate("", {-400 * kDay, -kDay})},
           {"junk", std::string("this is not DER at all")},
           cert("Soon", {-kDay, kDay})});
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, cert_box({{kExpiredLine, ""}, {kExpiringLine, "Soon"}}));
    EXPECT_NE(stderr_.find("notAfter 2556144000\n"), std::string::npos)
        << "GeneralizedTime is converted with its four-digit year";
    EXPECT_EQ(count("Found certificate:"), 3) << "the broken value is skipped silently";
}

TEST_F(CertCheck, OnlyTheFirstSixteenAreExamined) {
    std::vector<CertFile> certs;
    for (int i = 0; i < 16; ++i)
        certs.push_back(cert("Fine" + std::to_string(i), {-kDay, 400 * kDay}));
    certs.push_back(cert("Seventeenth", {-400 * kDay, -kDay}));
    check(certs);
    EXPECT_EQ(count("Found certificate:"), 16);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_NE(stderr_.find("Found 16 objects\n"), std::string::npos);
}

TEST_F(CertCheck, NoCertificatesTwoCardsNoCard) {
    check({});
    EXPECT_EQ(result_, 0);
    EXPECT_NE(stderr_.find("Found 0 objects\n"), std::string::npos);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_NE(card_->trace().find("C_CloseSession"), std::string::npos);
    EXPECT_EQ(card_state().s_hSession, 0u);
    TearDown();

    CardReader second;
    second.serial = "0000000000000002";
    check({cert("Expired", {-400 * kDay, -kDay})}, {CardReader{}, second});
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, kSeveralCards);
    EXPECT_EQ(stderr_, "CheckExpire()\n");
    EXPECT_EQ(result_, 1);
    TearDown();

    CardReader absent;
    absent.present = false;
    check({}, {absent});
    EXPECT_TRUE(boxes_.empty());
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(stderr_, "CheckExpire()\n");
}

TEST_F(CertCheck, FailingSearchStillFinishesAndCloses) {
    check({cert("Expired", {-400 * kDay, -kDay})}, {}, "C_FindObjectsInit = 0x30");
    EXPECT_TRUE(boxes_.empty());
    EXPECT_EQ(result_, 0);
    const std::string trace = card_->trace();
    EXPECT_NE(trace.find("C_FindObjectsFinal"), std::string::npos) << trace;
    EXPECT_NE(trace.find("C_CloseSession"), std::string::npos);
    TearDown();

    check({cert("Expired", {-400 * kDay, -kDay})}, {}, "C_FindObjects = 0x30");
    EXPECT_TRUE(boxes_.empty());
    EXPECT_NE(stderr_.find("Found 0 objects\n"), std::string::npos);
}

TEST_F(CertCheck, ModuleCountsAndLengthsAreNotTrusted) {
    check({cert("Expired", {-400 * kDay, -kDay}), cert("Soon", {-kDay, kDay})}, {},
          "C_FindObjects.count = 1000");
    EXPECT_EQ(count("Found certificate:"), 2) << "no handle beyond those returned is used";
    // Both value reads of each found certificate, and no call on a handle the module never
    // returned (the rest of the list stays CK_INVALID_HANDLE and is skipped).
    const std::string trace = card_->trace();
    const std::regex read("C_GetAttributeValue session=[0-9]+ object=([0-9]+) ");
    int reads = 0;
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), read);
         it != std::sregex_iterator(); ++it, ++reads) {
        EXPECT_NE((*it)[1], "0");
    }
    EXPECT_EQ(reads, 4) << trace;
    ASSERT_EQ(boxes_.size(), 1u);
    TearDown();

    check({cert("Expired", {-400 * kDay, -kDay})}, {},
          "C_GetAttributeValue.length = 0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(count("Found certificate:"), 0) << "an absurd length is skipped";
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(CertCheck, TheReportNeverOverflowsAndHoldsWholeEntries) {
    std::vector<CertFile> certs;
    for (int i = 0; i < 16; ++i) {
        certs.push_back(cert(std::to_string(i) + std::string(600, 'n'), {-400 * kDay, -kDay}));
    }
    check(certs);
    ASSERT_EQ(boxes_.size(), 1u);
    const std::string& text = boxes_[0].text;
    EXPECT_LT(text.size(), 2048u);
    const std::string entry = std::string(kExpiredLine) + "'";
    int entries = 0;
    for (size_t p = text.find(entry); p != std::string::npos; p = text.find(entry, p + 1))
        ++entries;
    EXPECT_EQ(entries, 3) << "three entries of 625 characters fit";
    EXPECT_EQ(text.substr(text.size() - 2), "'\n") << "the last entry is whole";
    EXPECT_NE(text.find("'2" + std::string(600, 'n') + "'\n"), std::string::npos);
}
