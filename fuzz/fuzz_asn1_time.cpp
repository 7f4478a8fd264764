// Fuzzes the conversion of certificate validity times and their classification on any text.
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
    ASN1_UTCTIME_get(t);
    const int status = classify_certificate(t, t, 86400, time);
    if (status < kCertFine || status > kCertAboutToExpire)
        abort();
    ASN1_STRING_free(t);
    return 0;
}
