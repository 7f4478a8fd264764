// SPDX-License-Identifier: MIT
// The start-up warning about certificates on the card that are not yet valid, expired or
// about to expire.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "cGuards.h"
#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

constexpr CK_ULONG kMaxObjects = 16;
// No certificate comes near this size; a larger length is a module's error, not a value.
constexpr CK_ULONG kMaxCertificateSize = 1UL << 20;

// The heading of each status that gets an entry in the report.
const char* heading_of(int status) {
    switch (status) {
        case kCertNotYetValid:
            return N_("Certificate not yet valid:");
        case kCertExpired:
            return N_("Certificate expired:");
        case kCertAboutToExpire:
            return N_("Certificate about to expire:");
        default:
            return nullptr;
    }
}

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

int two_digits(const unsigned char* p) {
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// Reads the value of one certificate object; nullptr when it cannot be read or decoded.
// The value of an object as the module answers CKA_VALUE for it.
CK_RV get_value(CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE& certVal) {
    return card_call([&](const CardState& card) {
        return card.pFList->C_GetAttributeValue(card.s_hSession, hObject, &certVal, 1);
    });
}

X509Ptr read_certificate(CK_OBJECT_HANDLE hObject) {
    CK_ATTRIBUTE certVal = {CKA_VALUE, nullptr, 0};
    if (get_value(hObject, certVal) != CKR_OK)
        return nullptr;
    const CK_ULONG length = certVal.ulValueLen;
    if (length == 0 || length > kMaxCertificateSize)
        return nullptr;
    libex::MallocPtr<unsigned char> buffer(static_cast<unsigned char*>(malloc(length)));
    if (!buffer)
        return nullptr;
    certVal.pValue = buffer.get();
    if (get_value(hObject, certVal) != CKR_OK)
        return nullptr;
    // Never decode more than was allocated, whatever length the module answers now.
    const long decode_length =
        static_cast<long>(certVal.ulValueLen < length ? certVal.ulValueLen : length);
    const unsigned char* pbCert = buffer.get();
    return X509Ptr(d2i_X509(nullptr, &pbCert, decode_length));
}

// A validity time as seconds since the epoch, for the diagnostic lines only: the fields
// are read at fixed positions, not validated. GeneralizedTime is read with its four-digit
// year; -1 when the text is too short to hold the fields it reads.
time_t asn1_time_seconds(const ASN1_UTCTIME* s) {
    if (s == nullptr || s->data == nullptr)
        return static_cast<time_t>(-1);
    const unsigned char* v = s->data;
    const int length = s->length;
    // GeneralizedTime carries a four-digit year; everything after it is laid out alike.
    const int year_digits = s->type == V_ASN1_GENERALIZEDTIME ? 4 : 2;
    const int zone = year_digits + 10;
    if (length < zone + 1)
        return static_cast<time_t>(-1);
    if (v[zone] != 'Z' && length < zone + 5)
        return static_cast<time_t>(-1);

    struct tm tm;
    memset(&tm, 0, sizeof tm);
    if (year_digits == 4) {
        tm.tm_year = two_digits(v) * 100 + two_digits(v + 2) - 1900;
    } else {
        const int yy = two_digits(v);
        tm.tm_year = yy < 50 ? yy + 100 : yy;
    }
    const unsigned char* p = v + year_digits;
    tm.tm_mon = two_digits(p) - 1;
    tm.tm_mday = two_digits(p + 2);
    tm.tm_hour = two_digits(p + 4);
    tm.tm_min = two_digits(p + 6);
    tm.tm_sec = two_digits(p + 8);
    long offset_minutes = 0;
    if (v[zone] != 'Z') {
        offset_minutes = two_digits(v + zone + 1) * 60 + two_digits(v + zone + 3);
        if (v[zone] == '-')
            offset_minutes = -offset_minutes;
    }
    return timegm(&tm) - offset_minutes * 60;
}

// The first common name of the certificate's subject into `szTmp` (PINMAN_PATH_SIZE bytes),
// its bytes as stored made valid UTF-8 for the box; empty when there is none.
void read_common_name(X509* cert, char* szTmp) {
    char szRaw[PINMAN_PATH_SIZE] = {0};
    const int len =
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, szRaw, sizeof szRaw);
    copy_shown_text(szTmp, PINMAN_PATH_SIZE, szRaw, len > 0 ? strnlen(szRaw, sizeof szRaw) : 0);
}

void print_diagnostics(const char* szTmp, const X509* cert) {
    const time_t now = time(nullptr);
    // Printed as 64-bit numbers: identical to 32-bit ones up to 2038, right beyond it.
    fprintf(stderr, "Found certificate: '%s'\n", szTmp);
    fprintf(stderr, "time: %lld\n", static_cast<long long>(now));
    fprintf(stderr, "notBefore %lld\n",
            static_cast<long long>(asn1_time_seconds(X509_get0_notBefore(cert))));
    fprintf(stderr, "notAfter %lld\n",
            static_cast<long long>(asn1_time_seconds(X509_get0_notAfter(cert))));
    fprintf(stderr, "time + g_checkExpire: %lld\n", static_cast<long long>(now) + g_checkExpire);
}

// Appends one whole entry, or nothing once the report is full; returns 1 when appended.
int append_entry(char* szMessage, const char* heading, const char* szTmp, int* full) {
    if (*full)
        return 0;
    const size_t used = strlen(szMessage);
    const size_t need = strlen(heading) + 2 + strlen(szTmp) + 2;
    if (used + need >= PINMAN_REPORT_SIZE) {
        *full = 1;
        return 0;
    }
    bounded_append(szMessage, PINMAN_REPORT_SIZE, heading);
    bounded_append(szMessage, PINMAN_REPORT_SIZE, " '");
    bounded_append(szMessage, PINMAN_REPORT_SIZE, szTmp);
    bounded_append(szMessage, PINMAN_REPORT_SIZE, "'\n");
    return 1;
}

}  // namespace

int classify_certificate(const ASN1_TIME* notBefore, const ASN1_TIME* notAfter, int window,
                         time_t (*clock)(time_t*)) {
    // The comparison answers -2 for a time it cannot read. For a UTCTime that is simply
    // "earlier", so a broken notAfter reads as expired; a GeneralizedTime (validity into
    // 2050 and beyond) it cannot read decides nothing.
    const bool undecided = notAfter->type == V_ASN1_GENERALIZEDTIME;
    if (ASN1_TIME_cmp_time_t(notBefore, clock(nullptr)) > 0)
        return kCertNotYetValid;
    const int vs_now = ASN1_TIME_cmp_time_t(notAfter, clock(nullptr));
    if (vs_now == -2 && undecided)
        return kCertFine;
    if (vs_now < 0)
        return kCertExpired;
    const int vs_window = ASN1_TIME_cmp_time_t(notAfter, clock(nullptr) + window);
    return vs_window < 0 ? kCertAboutToExpire : kCertFine;
}

int CheckExpire(void) {
    char szMessage[PINMAN_REPORT_SIZE] = {0};
    char szTmp[PINMAN_PATH_SIZE] = {0};
    int showCertsMessage = 0;
    int full = 0;
    CK_OBJECT_CLASS ckoCert = CKO_CERTIFICATE;
    CK_BBOOL ckTrue = CK_TRUE;
    CK_ATTRIBUTE searchCerts[2] = {{CKA_CLASS, &ckoCert, sizeof ckoCert}, {CKA_TOKEN, &ckTrue, 1}};
    CK_OBJECT_HANDLE hObjects[kMaxObjects] = {0};
    CK_ULONG ulObjects = 0;

    fprintf(stderr, "CheckExpire()\n");
    bounded_append(szMessage, sizeof szMessage, _("Certificates status:\n"));
    if (!OpenSession(0))
        return 1;
    fprintf(stderr, "OpenSession OK\n");

    const CK_RV found = card_call([&](const CardState& card) {
        return card.pFList->C_FindObjectsInit(card.s_hSession, searchCerts, 2);
    });
    if (found == CKR_OK) {
        const CK_RV rv = card_call([&](const CardState& card) {
            return card.pFList->C_FindObjects(card.s_hSession, hObjects, kMaxObjects, &ulObjects);
        });
        fprintf(stderr, "Found %d objects\n", static_cast<int>(ulObjects));
        if (rv == CKR_OK && ulObjects > 0) {
            // Never trust a count beyond the room the module was given.
            if (ulObjects > kMaxObjects)
                ulObjects = kMaxObjects;
            for (CK_ULONG i = 0; i < ulObjects; ++i) {
                // An entry the module did not fill still holds CK_INVALID_HANDLE.
                if (hObjects[i] == CK_INVALID_HANDLE)
                    continue;
                X509Ptr cert = read_certificate(hObjects[i]);
                if (!cert)
                    continue;
                read_common_name(cert.get(), szTmp);
                print_diagnostics(szTmp, cert.get());
                const char* heading = heading_of(
                    classify_certificate(X509_get0_notBefore(cert.get()),
                                         X509_get0_notAfter(cert.get()), g_checkExpire, time));
                if (heading != nullptr && append_entry(szMessage, _(heading), szTmp, &full)) {
                    showCertsMessage = 1;
                }
            }
            if (showCertsMessage)
                ShowMessage(szMessage);
        }
    }
    card_call(
        [](const CardState& card) { return card.pFList->C_FindObjectsFinal(card.s_hSession); });
    close_card_session();
    return 0;
}
