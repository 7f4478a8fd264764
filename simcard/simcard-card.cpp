// SPDX-License-Identifier: MIT
// simcard-card: makes a demo card folder and reads single values of a card's state file.
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "state.h"

namespace {

constexpr const char* kUsage =
    "usage: simcard-card make DIR [DAYS]\n"
    "       simcard-card get STATEFILE KEY [READER]\n";

// The demo card holders read and edit; no comment sits on a line the card rewrites.
constexpr const char* kDemoState =
    R"(# The simulated smart card that Pin Manager uses by default. Change it at will: the
# module writes PIN, PUK and try counters back (it rewrites those four lines, so keep
# comments off them). Delete it (and certs/) for a fresh card. Format: the README of
# the simulated card.
[reader]
description = Simulated Reader 0
card = present
label = Demo Card
serial = 0000000000000001
model = SimCard
manufacturer = Pin Manager project
min_pin = 4
max_pin = 8
# The user PIN and the security officer PIN (the PUK), and the tries left of each.
pin = 1234
puk = 12345678
pin_tries = 3
pin_max_tries = 3
puk_tries = 10
puk_max_tries = 10
extra_flags = 0x0
cert = certs/signing.der         # valid for ten years
cert = certs/authentication.der  # expires a few days after the card was made

[fault]
# C_OpenSession = 0x30           # uncomment to make opening a session fail (CKR_DEVICE_ERROR)
)";

int fail(const std::string& what) {
    std::fprintf(stderr, "simcard-card: %s\n", what.c_str());
    return 1;
}

// A self-signed X.509 certificate for a fresh EC P-256 key held only in memory, valid from
// a day before now for `days` days after now, as DER; empty on failure.
std::string make_certificate(const char* common_name, long days) {
    std::string der;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_NAME* name = X509_NAME_new();
    unsigned char serial[8];
    BIGNUM* bn = nullptr;
    ASN1_INTEGER* sn = nullptr;
    bool ok = key != nullptr && cert != nullptr && name != nullptr &&
              RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7f;  // positive
        bn = BN_bin2bn(serial, sizeof serial, nullptr);
        sn = bn != nullptr ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
    }
    const auto text = [&](const char* field, const char* value) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                          reinterpret_cast<const unsigned char*>(value), -1, -1,
                                          0) == 1;
    };
    ok = ok && sn != nullptr && X509_set_version(cert, 2) == 1 &&
         X509_set_serialNumber(cert, sn) == 1 && text("CN", common_name) &&
         text("O", "Pin Manager project") && X509_set_subject_name(cert, name) == 1 &&
         X509_set_issuer_name(cert, name) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(cert), -86400L) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(cert), days * 86400L) != nullptr &&
         X509_set_pubkey(cert, key) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
    unsigned char* out = nullptr;
    int len = ok ? i2d_X509(cert, &out) : -1;
    if (len > 0) {
        der.assign(reinterpret_cast<char*>(out), static_cast<size_t>(len));
    }
    OPENSSL_free(out);
    ASN1_INTEGER_free(sn);
    BN_free(bn);
    X509_NAME_free(name);
    X509_free(cert);
    EVP_PKEY_free(key);
    return der;
}

// Creates `dir` and its missing parents; 0 or an errno value.
int make_dirs(const std::string& dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return errno;
        }
        if (slash == std::string::npos) {
            return 0;
        }
    }
}

// Writes `data` to `path` unless a file is there already.
int keep_file(const std::string& path, const std::string& data, unsigned mode) {
    int err = simcard::replace_file(path, data, mode, true);
    return err == 0 || err == EEXIST ? 0 : fail("cannot write " + path + ": " + std::strerror(err));
}

int make_card(const std::string& dir, long days) {
    if (int err = make_dirs(dir + "/certs")) {
        return fail("cannot make " + dir + "/certs: " + std::strerror(err));
    }
    struct {
        const char* file;
        const char* name;
        long days;
    } certs[] = {{"signing.der", "Demo Card Signing", 3650},
                 {"authentication.der", "Demo Card Authentication", days}};
    for (const auto& c : certs) {
        const std::string path = dir + "/certs/" + c.file;
        if (::access(path.c_str(), F_OK) == 0) {
            continue;
        }
        std::string der = make_certificate(c.name, c.days);
        if (der.empty()) {
            return fail("cannot make the certificate " + path);
        }
        if (keep_file(path, der, 0644) != 0) {
            return 1;
        }
    }
    return keep_file(dir + "/simcard.state", kDemoState, 0600);
}

int print_values(const std::string& path, const std::string& key, const char* reader_text) {
    char* end = nullptr;
    unsigned long reader = std::strtoul(reader_text, &end, 10);
    if (*reader_text == '\0' || *end != '\0') {
        return fail(std::string("not a reader number: ") + reader_text);
    }
    std::vector<std::string> values;
    std::string error;
    if (!simcard::look_up(path, reader, key, &values, &error)) {
        return fail(error);
    }
    for (const std::string& value : values) {
        std::fwrite(value.data(), 1, value.size(), stdout);
        std::fputc('\n', stdout);
    }
    return values.empty() ? 1 : 0;
}

}  // namespace

/* `simcard-card make DIR [DAYS]` writes a fresh demo card into DIR, keeping files that
 * exist; `simcard-card get STATEFILE KEY [READER]` prints the decoded value of KEY in
 * reader READER (default 0), every one for a repeated key. Status 1, with a message on
 * standard error unless the key is merely absent, on failure; 2 for a bad command line. */
int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "make" && (argc == 3 || argc == 4)) {
        char* end = nullptr;
        long days = argc == 4 ? std::strtol(argv[3], &end, 10) : 7;
        if (argc == 4 && (*argv[3] == '\0' || *end != '\0' || days < 1 || days > 36500)) {
            return fail(std::string("DAYS must be a number from 1 to 36500: ") + argv[3]);
        }
        return make_card(argv[2], days);
    }
    if (command == "get" && (argc == 4 || argc == 5)) {
        return print_values(argv[2], argv[3], argc == 5 ? argv[4] : "0");
    }
    std::fputs(kUsage, stderr);
    return 2;
}
