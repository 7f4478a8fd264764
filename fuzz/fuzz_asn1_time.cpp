// SPDX-License-Identifier: MIT
// Fuzzes the classification of certificate validity times on any text, as either time type.
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <openssl/asn1.h>

#include "pinman_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    ASN1_STRING* t = ASN1_STRING_new();
    ASN1_STRING_set(t, data + 1, static_cast<int>(size - 1));
    t->type = data[0] & 1 ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME;
    const int status = classify_certificate(t, t, 86400, time);
    if (status < kCertFine || status > kCertAboutToExpire)
        abort();
    ASN1_STRING_free(t);
    return 0;
}
