// SPDX-License-Identifier: MIT
// The simulated smart card: a PKCS#11 2.x module whose readers, cards, PINs and
// certificates live in a plain text state file.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "cFiles.h"
#include "state.h"

using simcard::Fn;
using simcard::Reader;
using simcard::State;

namespace {

// The entries of the function list the card does not offer: they answer
// CKR_FUNCTION_NOT_SUPPORTED, take no fault and are traced by name.
// clang-format off
#define SIMCARD_UNSUPPORTED(X) \
    X(InitToken) X(GetOperationState) X(SetOperationState) X(CreateObject) X(CopyObject) \
    X(DestroyObject) X(GetObjectSize) X(SetAttributeValue) X(EncryptInit) X(Encrypt) \
    X(EncryptUpdate) X(EncryptFinal) X(DecryptInit) X(Decrypt) X(DecryptUpdate) \
    X(DecryptFinal) X(DigestInit) X(Digest) X(DigestUpdate) X(DigestKey) X(DigestFinal) \
    X(SignInit) X(Sign) X(SignUpdate) X(SignFinal) X(SignRecoverInit) X(SignRecover) \
    X(VerifyInit) X(Verify) X(VerifyUpdate) X(VerifyFinal) X(VerifyRecoverInit) \
    X(VerifyRecover) X(DigestEncryptUpdate) X(DecryptDigestUpdate) X(SignEncryptUpdate) \
    X(DecryptVerifyUpdate) X(GenerateKey) X(GenerateKeyPair) X(WrapKey) X(UnwrapKey) \
    X(DeriveKey) X(WaitForSlotEvent)
// clang-format on

enum Unsupported : int {
#define SIMCARD_ENUM(name) u##name,
    SIMCARD_UNSUPPORTED(SIMCARD_ENUM)
#undef SIMCARD_ENUM
        kUnsupportedCount
};
constexpr const char* kUnsupportedNames[] = {
#define SIMCARD_NAME(name) "C_" #name,
    SIMCARD_UNSUPPORTED(SIMCARD_NAME)
#undef SIMCARD_NAME
};

static_assert(sizeof(CK_FUNCTION_LIST) ==
                  offsetof(CK_FUNCTION_LIST, C_Initialize) +
                      (simcard::kFunctionCount + kUnsupportedCount) * sizeof(void*),
              "the two lists must name every entry of the function list once");

// Version of the standard this module answers to, and of the module itself.
constexpr CK_VERSION kCryptokiVersion = {2, 40};
constexpr CK_VERSION kModuleVersion = {1, 0};
constexpr const char* kMaker = "Pin Manager project";
// Object handles: (slot + 1) * kObjectStride + certificate index + 1, so 0 is never one.
constexpr CK_ULONG kObjectStride = 0x100000;
constexpr CK_ULONG kCategoryTokenUser = 1;  // CKA_CERTIFICATE_CATEGORY: the holder's own

enum Login { kPublic, kUser, kSecurityOfficer };

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t next = 0;
};

// A certificate object with what the standard's attributes take from its DER; each of
// them is empty when the bytes are no certificate.
struct Object {
    std::string label, der, subject, issuer, serial, id, check;
};

std::mutex s_lock;
bool s_initialized = false;
State s_state;
std::vector<std::vector<Object>> s_objects;  // per slot, built at its first use (objects_of)
std::vector<bool> s_objects_built;           // per slot
std::vector<Login> s_login;                  // per slot, shared by the slot's sessions
std::map<CK_SESSION_HANDLE, Session> s_sessions;
CK_SESSION_HANDLE s_last_handle = 0;  // handles are never reused, not even across C_Initialize
int s_lock_wait_ms = simcard::kLockWaitMillis;  // read at C_Initialize (lock_wait_ms)
// This library's file, found when it is loaded. A plain array: the constructor below may
// run before the C++ objects of this file are constructed.
char s_module_path[PATH_MAX];

__attribute__((constructor)) void find_own_file() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&find_own_file), &info) == 0 || info.dli_fname == nullptr) {
        return;
    }
    char resolved[PATH_MAX];
    const char* name = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
    std::snprintf(s_module_path, sizeof s_module_path, "%s", name);
}

// The state file: $SIMCARD_STATE, else simcard.state beside this library. Absolute and
// through a symbolic link, so neither a change of directory nor a rewrite moves it.
std::string state_path() {
    const char* env = std::getenv("SIMCARD_STATE");
    std::string path = env != nullptr && env[0] != '\0' ? env : s_module_path;
    if (env == nullptr || env[0] == '\0') {
        path = path.substr(0, path.rfind('/') + 1) + "simcard.state";
    }
    char buf[PATH_MAX];
    if (path.front() != '/' && getcwd(buf, sizeof buf) != nullptr) {
        path = std::string(buf) + "/" + path;
    }
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

// How long a call waits for another process's lock on the state file: $SIMCARD_LOCK_WAIT_MS
// milliseconds when set, not empty and 0 to kLockWaitMaxMillis in decimal digits; otherwise
// kLockWaitMillis, after a line on standard error for a value it does not take.
int lock_wait_ms() {
    const char* env = std::getenv("SIMCARD_LOCK_WAIT_MS");
    if (env == nullptr || env[0] == '\0') {
        return simcard::kLockWaitMillis;
    }
    long value = 0;
    for (const char* c = env; value <= simcard::kLockWaitMaxMillis; ++c) {
        if (*c == '\0') {
            return static_cast<int>(value);
        }
        if (*c < '0' || *c > '9') {
            break;
        }
        value = value * 10 + (*c - '0');
    }
    std::fprintf(stderr,
                 "simcard: SIMCARD_LOCK_WAIT_MS is not a number of milliseconds from 0 to %d; "
                 "waiting %d\n",
                 simcard::kLockWaitMaxMillis, simcard::kLockWaitMillis);
    return simcard::kLockWaitMillis;
}

// printf into a std::string of at most a line.
__attribute__((format(printf, 1, 2))) std::string format(const char* f, ...) {
    char line[400] = {};
    va_list args;
    va_start(args, f);
    std::vsnprintf(line, sizeof line, f, args);
    va_end(args);
    return line;
}

// Appends "NAME ARGS rv=0x..." to the file that $SIMCARD_TRACE names. Callers pass no secret.
void trace(const char* name, const std::string& args, CK_RV rv) {
    const char* file = std::getenv("SIMCARD_TRACE");
    if (file == nullptr || file[0] == '\0') {
        return;
    }
    std::string line = format("%s%s%s rv=0x%lx\n", name, args.empty() ? "" : " ", args.c_str(), rv);
    // As the trace log of the program: only into a file of the user's own, never through a
    // link or into a file that has a second name, a new one readable by its owner only.
    struct stat st;
    const int fd = cOpenOwnAppend(file, &st);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
        close(fd);
    }
}

// When an entry point needs the module initialised and takes its fault from s_state.
enum Needs { kInitialised, kItself };

// The one wrapper of every entry point: takes the module's lock, answers
// CKR_CRYPTOKI_NOT_INITIALIZED or the state file's fault code for `fn`, or runs `work`
// (no exception leaves the module), then traces the call with what `args` describes.
template <typename Work, typename Args>
CK_RV entry(Fn fn, Needs needs, Work&& work, Args&& args) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = CKR_OK;
    if (needs == kInitialised && !s_initialized) {
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    } else if (needs == kInitialised && s_state.faults.rv[fn].set) {
        rv = s_state.faults.rv[fn].value;
    } else {
        try {
            rv = work();
        } catch (const std::bad_alloc&) {
            rv = CKR_HOST_MEMORY;
        } catch (...) {
            rv = CKR_GENERAL_ERROR;
        }
    }
    trace(simcard::kFunctionNames[fn], args(), rv);
    return rv;
}

// Fills a fixed-width PKCS#11 text field with `text`, blank-padded, no terminator.
void pad(CK_UTF8CHAR* field, size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

Reader* reader_of(CK_SLOT_ID slot) {
    return slot < s_state.readers.size() ? &s_state.readers[slot] : nullptr;
}

Session* session_of(CK_SESSION_HANDLE h) {
    auto it = s_sessions.find(h);
    return it == s_sessions.end() ? nullptr : &it->second;
}

bool operator!=(const simcard::Secrets& a, const simcard::Secrets& b) {
    return a.pin != b.pin || a.puk != b.puk || a.pin_tries != b.pin_tries ||
           a.puk_tries != b.puk_tries;
}

// Runs `work` on reader `slot` as the state file holds it now: under the file's lock, with
// PIN, PUK and counters read again, and writes back what `work` changed before the lock
// ends, so that every process on the card sees one card. A change that cannot be written
// is undone and answers CKR_DEVICE_ERROR.
template <typename Work>
CK_RV with_card(CK_SLOT_ID slot, Work&& work) {
    State fresh;
    std::string error;
    const int fd =
        simcard::lock_state(s_state.path, &fresh, &error, simcard::kWithoutCerts, s_lock_wait_ms);
    if (fd < 0) {
        return CKR_DEVICE_ERROR;
    }
    struct Unlock {
        int fd;
        ~Unlock() { close(fd); }
    } unlock{fd};
    if (fresh.readers.size() != s_state.readers.size() || !fresh.readers[slot].present) {
        return CKR_DEVICE_ERROR;  // the file now describes other readers
    }
    Reader& r = fresh.readers[slot];
    const simcard::Secrets before = r.now;
    const CK_RV rv = work(r);
    if (r.now != before && !simcard::save_state(&fresh)) {
        r.now = before;
        return CKR_DEVICE_ERROR;
    }
    for (size_t i = 0; i < fresh.readers.size(); ++i) {
        s_state.readers[i].now = fresh.readers[i].now;
    }
    return rv;
}

// Checks a PIN (`so` false) or the PUK (`so` true) against the card and counts the try.
CK_RV verify_secret(Reader& r, bool so, const CK_UTF8CHAR* pin, CK_ULONG len) {
    CK_ULONG& tries = so ? r.now.puk_tries : r.now.pin_tries;
    const std::string& secret = so ? r.now.puk : r.now.pin;
    if (tries == 0) {
        return CKR_PIN_LOCKED;
    }
    const bool right = len == secret.size() && std::memcmp(pin, secret.data(), len) == 0;
    tries = right ? (so ? r.puk_max_tries : r.pin_max_tries) : tries - 1;
    return right ? CKR_OK : CKR_PIN_INCORRECT;
}

// One flag at a time, as real cards set them: COUNT_LOW after a wrong try, FINAL_TRY when
// one try is left, LOCKED when none is.
CK_FLAGS pin_flags(CK_ULONG tries, CK_ULONG max, CK_FLAGS low, CK_FLAGS final, CK_FLAGS locked) {
    return tries == 0 ? locked : tries == 1 ? final : tries < max ? low : 0;
}

bool length_fits(const Reader& r, CK_ULONG len) {
    return len >= r.min_pin && len <= r.max_pin;
}

void end_session(std::map<CK_SESSION_HANDLE, Session>::iterator it) {
    CK_SLOT_ID slot = it->second.slot;
    s_sessions.erase(it);
    for (const auto& [h, s] : s_sessions) {
        if (s.slot == slot) {
            return;
        }
    }
    if (slot < s_login.size()) {
        s_login[slot] = kPublic;
    }
}

// DER of an OpenSSL object through its i2d function; empty when there is none.
template <typename T>
std::string der_of(const T* object, int (*i2d)(const T*, unsigned char**)) {
    unsigned char* out = nullptr;
    int len = object != nullptr ? i2d(object, &out) : -1;
    std::string der = len > 0 ? std::string(reinterpret_cast<char*>(out), len) : std::string();
    OPENSSL_free(out);
    return der;
}

std::string sha1(const void* data, size_t len) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(static_cast<const unsigned char*>(data), len, digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// The object of a certificate file, with the attributes its DER yields.
Object make_object(const simcard::Cert& c) {
    Object o{c.label, c.der, {}, {}, {}, {}, sha1(c.der.data(), c.der.size()).substr(0, 3)};
    const unsigned char* p = reinterpret_cast<const unsigned char*>(c.der.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(c.der.size()));
    if (x != nullptr) {
        o.subject = der_of(X509_get_subject_name(x), i2d_X509_NAME);
        o.issuer = der_of(X509_get_issuer_name(x), i2d_X509_NAME);
        o.serial = der_of(X509_get0_serialNumber(x), i2d_ASN1_INTEGER);
        // The key's hash: the same for every copy of the certificate.
        const ASN1_BIT_STRING* key = X509_get0_pubkey_bitstr(x);
        o.id = key != nullptr ? sha1(key->data, static_cast<size_t>(key->length)) : "";
        X509_free(x);
    }
    return o;
}

// The bytes of attribute `type` of object `o`; false when the object has no such attribute.
bool attribute(const Object& o, CK_ATTRIBUTE_TYPE type, std::string* out) {
    auto ulong = [out](CK_ULONG v) {
        out->assign(reinterpret_cast<const char*>(&v), sizeof v);
        return true;
    };
    auto text = [out](const std::string& v) {
        *out = v;
        return true;
    };
    switch (type) {
        case CKA_CLASS:
            return ulong(CKO_CERTIFICATE);
        case CKA_CERTIFICATE_TYPE:
            return ulong(CKC_X_509);
        case CKA_CERTIFICATE_CATEGORY:
            return ulong(kCategoryTokenUser);
        case CKA_TOKEN:
            return text(std::string(1, CK_TRUE));
        case CKA_PRIVATE:
        case CKA_MODIFIABLE:
        case CKA_TRUSTED:
        case CKA_COPYABLE:
        case CKA_DESTROYABLE:
            return text(std::string(1, CK_FALSE));
        case CKA_START_DATE:
        case CKA_END_DATE:
            return text("");
        case CKA_LABEL:
            return text(o.label);
        case CKA_VALUE:
            return text(o.der);
        case CKA_SUBJECT:
            return text(o.subject);
        case CKA_ISSUER:
            return text(o.issuer);
        case CKA_SERIAL_NUMBER:
            return text(o.serial);
        case CKA_ID:
            return text(o.id);
        case CKA_CHECK_VALUE:
            return text(o.check);
        default:
            return false;
    }
}

// The certificate objects of `slot`, decoded from the state's certificates when they are
// first asked for: a holder who never looks at the card's objects pays for no decoding.
const std::vector<Object>& objects_of(size_t slot) {
    if (!s_objects_built[slot]) {
        for (const simcard::Cert& c : s_state.readers[slot].certs) {
            s_objects[slot].push_back(make_object(c));
        }
        s_objects_built[slot] = true;
    }
    return s_objects[slot];
}

// The object that handle `h` names for `session`, or null.
const Object* object_of(const Session& session, CK_OBJECT_HANDLE h) {
    if (h / kObjectStride != session.slot + 1 || h % kObjectStride == 0) {
        return nullptr;
    }
    const std::vector<Object>& objects = objects_of(session.slot);
    return h % kObjectStride - 1 < objects.size() ? &objects[h % kObjectStride - 1] : nullptr;
}

// ---- general purpose ----

CK_RV sim_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList);

CK_RV sim_Initialize(CK_VOID_PTR pInitArgs) {
    auto work = [&]() -> CK_RV {
        if (s_initialized) {
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        }
        if (pInitArgs != nullptr) {
            // The module locks with its own mutex, so any valid locking choice is accepted.
            auto* a = static_cast<CK_C_INITIALIZE_ARGS*>(pInitArgs);
            int given = (a->CreateMutex != nullptr) + (a->DestroyMutex != nullptr) +
                        (a->LockMutex != nullptr) + (a->UnlockMutex != nullptr);
            if (a->pReserved != nullptr || (given != 0 && given != 4)) {
                return CKR_ARGUMENTS_BAD;
            }
        }
        State loaded;
        std::string error;
        const std::string path = state_path();
        s_lock_wait_ms = lock_wait_ms();
        int fd = simcard::lock_state(path, &loaded, &error, simcard::kEverything, s_lock_wait_ms);
        if (fd < 0) {
            std::fprintf(stderr, "simcard: %s\n", error.c_str());
            // A card held by another process is busy, not broken.
            return fd == simcard::kLockBusy ? CKR_DEVICE_ERROR : CKR_GENERAL_ERROR;
        }
        simcard::remove_stale_temporaries(path);  // only a killed writer leaves them
        close(fd);
        if (loaded.faults.rv[simcard::kInitialize].set) {
            return loaded.faults.rv[simcard::kInitialize].value;
        }
        s_state = std::move(loaded);
        s_objects.assign(s_state.readers.size(), {});
        s_objects_built.assign(s_state.readers.size(), false);
        s_login.assign(s_state.readers.size(), kPublic);
        s_sessions.clear();
        s_initialized = true;
        return CKR_OK;
    };
    return entry(simcard::kInitialize, kItself, work,
                 [&] { return format("args=%s", pInitArgs == nullptr ? "null" : "set"); });
}

CK_RV sim_Finalize(CK_VOID_PTR pReserved) {
    auto work = [&]() -> CK_RV {
        if (pReserved != nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        s_sessions.clear();
        s_login.clear();
        s_objects.clear();
        s_objects_built.clear();
        s_state = State();
        s_initialized = false;
        return CKR_OK;
    };
    return entry(simcard::kFinalize, kInitialised, work, [] { return std::string(); });
}

CK_RV sim_GetInfo(CK_INFO_PTR pInfo) {
    auto work = [&]() -> CK_RV {
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(pInfo, 0, sizeof *pInfo);
        pInfo->cryptokiVersion = kCryptokiVersion;
        pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, kMaker);
        pad(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "Simulated smart card");
        pInfo->libraryVersion = kModuleVersion;
        return CKR_OK;
    };
    return entry(simcard::kGetInfo, kInitialised, work, [] { return std::string(); });
}

// ---- slots and tokens ----

CK_RV sim_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    auto work = [&]() -> CK_RV {
        if (pulCount == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::vector<CK_SLOT_ID> slots;
        for (CK_SLOT_ID i = 0; i < s_state.readers.size(); ++i) {
            if (!tokenPresent || s_state.readers[i].present) {
                slots.push_back(i);
            }
        }
        CK_RV rv = CKR_OK;
        if (pSlotList != nullptr && *pulCount < slots.size()) {
            rv = CKR_BUFFER_TOO_SMALL;
        } else if (pSlotList != nullptr) {
            std::copy(slots.begin(), slots.end(), pSlotList);
        }
        const simcard::Knob& lie = s_state.faults.slot_count;
        *pulCount = lie.set ? lie.value : slots.size();
        return rv;
    };
    return entry(simcard::kGetSlotList, kInitialised, work, [&] {
        return pulCount == nullptr ? format("present=%u count=null", tokenPresent)
                                   : format("present=%u list=%s count=%lu", tokenPresent,
                                            pSlotList == nullptr ? "null" : "set", *pulCount);
    });
}

CK_RV sim_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    auto work = [&]() -> CK_RV {
        const Reader* r = reader_of(slotID);
        if (r == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(pInfo, 0, sizeof *pInfo);
        pad(pInfo->slotDescription, sizeof pInfo->slotDescription, r->description);
        pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, kMaker);
        pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (r->present ? CKF_TOKEN_PRESENT : 0);
        pInfo->hardwareVersion = kModuleVersion;
        pInfo->firmwareVersion = kModuleVersion;
        return CKR_OK;
    };
    return entry(simcard::kGetSlotInfo, kInitialised, work,
                 [&] { return format("slot=%lu", slotID); });
}

// The reader of a slot with a card: CKR_OK, or the answer for a slot without one.
CK_RV card_of(CK_SLOT_ID slot, Reader** r) {
    *r = reader_of(slot);
    return *r == nullptr ? CKR_SLOT_ID_INVALID : !(*r)->present ? CKR_TOKEN_NOT_PRESENT : CKR_OK;
}

CK_RV sim_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    auto work = [&]() -> CK_RV {
        Reader* r = nullptr;
        if (CK_RV rv = card_of(slotID, &r)) {
            return rv;
        }
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        // The counters as they are now, also when another process used a try; the last
        // known ones when the file cannot be read.
        with_card(slotID, [](Reader&) { return CKR_OK; });
        std::memset(pInfo, 0, sizeof *pInfo);
        pad(pInfo->label, sizeof pInfo->label, r->label);
        pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, r->manufacturer);
        pad(pInfo->model, sizeof pInfo->model, r->model);
        pad(pInfo->serialNumber, sizeof pInfo->serialNumber, r->serial);
        pad(pInfo->utcTime, sizeof pInfo->utcTime, "");
        pInfo->flags = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED |
                       pin_flags(r->now.pin_tries, r->pin_max_tries, CKF_USER_PIN_COUNT_LOW,
                                 CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED) |
                       pin_flags(r->now.puk_tries, r->puk_max_tries, CKF_SO_PIN_COUNT_LOW,
                                 CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED) |
                       r->extra_flags;
        for (const auto& [h, s] : s_sessions) {
            pInfo->ulSessionCount += s.slot == slotID;
            pInfo->ulRwSessionCount += s.slot == slotID && (s.flags & CKF_RW_SESSION) != 0;
        }
        pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulMaxPinLen = r->max_pin;
        pInfo->ulMinPinLen = r->min_pin;
        pInfo->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->hardwareVersion = kModuleVersion;
        pInfo->firmwareVersion = kModuleVersion;
        return CKR_OK;
    };
    return entry(simcard::kGetTokenInfo, kInitialised, work,
                 [&] { return format("slot=%lu", slotID); });
}

CK_RV sim_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR, CK_ULONG_PTR pulCount) {
    auto work = [&]() -> CK_RV {
        Reader* r = nullptr;
        if (CK_RV rv = card_of(slotID, &r)) {
            return rv;
        }
        if (pulCount == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *pulCount = 0;  // the card has no mechanisms: nothing is ever written to the list
        return CKR_OK;
    };
    return entry(simcard::kGetMechanismList, kInitialised, work,
                 [&] { return format("slot=%lu", slotID); });
}

CK_RV sim_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR) {
    auto work = [&]() -> CK_RV {
        Reader* r = nullptr;
        CK_RV rv = card_of(slotID, &r);
        return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
    };
    return entry(simcard::kGetMechanismInfo, kInitialised, work,
                 [&] { return format("slot=%lu mechanism=0x%lx", slotID, type); });
}

// ---- sessions ----

CK_RV sim_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                      CK_SESSION_HANDLE_PTR phSession) {
    CK_SESSION_HANDLE handed = 0;
    auto work = [&]() -> CK_RV {
        Reader* r = nullptr;
        if (CK_RV rv = card_of(slotID, &r)) {
            return rv;
        }
        if ((flags & CKF_SERIAL_SESSION) == 0) {
            return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        }
        if (phSession == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if ((flags & CKF_RW_SESSION) == 0 && s_login[slotID] == kSecurityOfficer) {
            return CKR_SESSION_READ_WRITE_SO_EXISTS;
        }
        if (s_state.faults.session_handle.set) {
            handed = *phSession = s_state.faults.session_handle.value;
            return CKR_OK;
        }
        Session s;
        s.slot = slotID;
        s.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
        s_sessions.emplace(++s_last_handle, std::move(s));
        handed = *phSession = s_last_handle;
        return CKR_OK;
    };
    return entry(simcard::kOpenSession, kInitialised, work,
                 [&] { return format("slot=%lu flags=0x%lx session=%lu", slotID, flags, handed); });
}

CK_RV sim_CloseSession(CK_SESSION_HANDLE hSession) {
    auto work = [&]() -> CK_RV {
        auto it = s_sessions.find(hSession);
        if (it == s_sessions.end()) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        end_session(it);
        return CKR_OK;
    };
    return entry(simcard::kCloseSession, kInitialised, work,
                 [&] { return format("session=%lu", hSession); });
}

CK_RV sim_CloseAllSessions(CK_SLOT_ID slotID) {
    auto work = [&]() -> CK_RV {
        Reader* r = nullptr;
        if (CK_RV rv = card_of(slotID, &r)) {
            return rv;
        }
        for (auto it = s_sessions.begin(); it != s_sessions.end();) {
            it = it->second.slot == slotID ? s_sessions.erase(it) : std::next(it);
        }
        s_login[slotID] = kPublic;
        return CKR_OK;
    };
    return entry(simcard::kCloseAllSessions, kInitialised, work,
                 [&] { return format("slot=%lu", slotID); });
}

CK_RV sim_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    auto work = [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const bool rw = (s->flags & CKF_RW_SESSION) != 0;
        std::memset(pInfo, 0, sizeof *pInfo);
        pInfo->slotID = s->slot;
        pInfo->flags = s->flags;
        const Login login = s_login[s->slot];
        pInfo->state = login == kSecurityOfficer ? CKS_RW_SO_FUNCTIONS
                       : login == kUser ? (rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                                        : (rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
        return CKR_OK;
    };
    return entry(simcard::kGetSessionInfo, kInitialised, work,
                 [&] { return format("session=%lu", hSession); });
}

// ---- login and PINs ----

CK_RV sim_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                CK_ULONG ulPinLen) {
    auto work = [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (userType == CKU_CONTEXT_SPECIFIC) {
            return CKR_OPERATION_NOT_INITIALIZED;  // no operation here asks for it
        }
        if (userType != CKU_USER && userType != CKU_SO) {
            return CKR_USER_TYPE_INVALID;
        }
        if (pPin == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const Login wanted = userType == CKU_SO ? kSecurityOfficer : kUser;
        Login& current = s_login[s->slot];
        if (current != kPublic) {
            return current == wanted ? CKR_USER_ALREADY_LOGGED_IN
                                     : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        }
        for (const auto& [h, other] : s_sessions) {
            if (wanted == kSecurityOfficer && other.slot == s->slot &&
                (other.flags & CKF_RW_SESSION) == 0) {
                return CKR_SESSION_READ_ONLY_EXISTS;
            }
        }
        CK_RV rv = with_card(s->slot, [&](Reader& r) {
            return verify_secret(r, wanted == kSecurityOfficer, pPin, ulPinLen);
        });
        current = rv == CKR_OK ? wanted : current;
        return rv;
    };
    return entry(simcard::kLogin, kInitialised, work, [&] {
        return format("session=%lu user=%lu len=%lu", hSession, userType, ulPinLen);
    });
}

CK_RV sim_Logout(CK_SESSION_HANDLE hSession) {
    auto work = [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (s_login[s->slot] == kPublic) {
            return CKR_USER_NOT_LOGGED_IN;
        }
        s_login[s->slot] = kPublic;
        return CKR_OK;
    };
    return entry(simcard::kLogout, kInitialised, work,
                 [&] { return format("session=%lu", hSession); });
}

CK_RV sim_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    auto work = [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (pPin == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (s_login[s->slot] != kSecurityOfficer) {
            return CKR_USER_NOT_LOGGED_IN;
        }
        if ((s->flags & CKF_RW_SESSION) == 0) {
            return CKR_SESSION_READ_ONLY;
        }
        return with_card(s->slot, [&](Reader& r) {
            if (!length_fits(r, ulPinLen)) {
                return CKR_PIN_LEN_RANGE;
            }
            r.now.pin.assign(reinterpret_cast<const char*>(pPin), ulPinLen);
            r.now.pin_tries = r.pin_max_tries;
            return CKR_OK;
        });
    };
    return entry(simcard::kInitPIN, kInitialised, work,
                 [&] { return format("session=%lu len=%lu", hSession, ulPinLen); });
}

CK_RV sim_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                 CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    CK_ULONG user = CKU_USER;
    auto work = [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (pOldPin == nullptr || pNewPin == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if ((s->flags & CKF_RW_SESSION) == 0) {
            return CKR_SESSION_READ_ONLY;
        }
        // The PIN of whoever is logged in; the user's in a public session.
        const bool so = s_login[s->slot] == kSecurityOfficer;
        user = so ? CKU_SO : CKU_USER;
        return with_card(s->slot, [&](Reader& r) {
            CK_RV rv = verify_secret(r, so, pOldPin, ulOldLen);
            if (rv == CKR_OK && !length_fits(r, ulNewLen)) {
                rv = CKR_PIN_LEN_RANGE;
            } else if (rv == CKR_OK) {
                (so ? r.now.puk : r.now.pin)
                    .assign(reinterpret_cast<const char*>(pNewPin), ulNewLen);
            }
            return rv;
        });
    };
    return entry(simcard::kSetPIN, kInitialised, work, [&] {
        return format("session=%lu user=%lu oldlen=%lu newlen=%lu", hSession, user, ulOldLen,
                      ulNewLen);
    });
}

// ---- objects ----

CK_RV sim_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    auto work = [&]() -> CK_RV {
        Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (s->finding) {
            return CKR_OPERATION_ACTIVE;
        }
        if (pTemplate == nullptr && ulCount != 0) {
            return CKR_ARGUMENTS_BAD;
        }
        for (CK_ULONG i = 0; i < ulCount; ++i) {
            if (pTemplate[i].pValue == nullptr && pTemplate[i].ulValueLen != 0) {
                return CKR_ARGUMENTS_BAD;
            }
        }
        const std::vector<Object>& objects = objects_of(s->slot);
        s->found.clear();
        std::string value;
        for (size_t c = 0; c < objects.size() && c + 1 < kObjectStride; ++c) {
            bool match = true;
            for (CK_ULONG i = 0; i < ulCount && match; ++i) {
                const CK_ATTRIBUTE& want = pTemplate[i];
                match =
                    attribute(objects[c], want.type, &value) && value.size() == want.ulValueLen &&
                    (value.empty() || std::memcmp(value.data(), want.pValue, value.size()) == 0);
            }
            if (match) {
                s->found.push_back((s->slot + 1) * kObjectStride + c + 1);
            }
        }
        s->next = 0;
        s->finding = true;
        return CKR_OK;
    };
    return entry(simcard::kFindObjectsInit, kInitialised, work,
                 [&] { return format("session=%lu count=%lu", hSession, ulCount); });
}

CK_RV sim_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                      CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    auto work = [&]() -> CK_RV {
        Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (!s->finding) {
            return CKR_OPERATION_NOT_INITIALIZED;
        }
        if (pulObjectCount == nullptr || (phObject == nullptr && ulMaxObjectCount != 0)) {
            return CKR_ARGUMENTS_BAD;
        }
        size_t n = std::min<size_t>(s->found.size() - s->next, ulMaxObjectCount);
        std::copy_n(s->found.begin() + static_cast<std::ptrdiff_t>(s->next), n, phObject);
        s->next += n;
        const simcard::Knob& lie = s_state.faults.object_count;
        *pulObjectCount = lie.set ? lie.value : n;
        return CKR_OK;
    };
    return entry(simcard::kFindObjects, kInitialised, work, [&] {
        return pulObjectCount == nullptr
                   ? format("session=%lu max=%lu count=null", hSession, ulMaxObjectCount)
                   : format("session=%lu max=%lu count=%lu", hSession, ulMaxObjectCount,
                            *pulObjectCount);
    });
}

CK_RV sim_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    auto work = [&]() -> CK_RV {
        Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (!s->finding) {
            return CKR_OPERATION_NOT_INITIALIZED;
        }
        s->finding = false;
        s->found.clear();
        s->next = 0;
        return CKR_OK;
    };
    return entry(simcard::kFindObjectsFinal, kInitialised, work,
                 [&] { return format("session=%lu", hSession); });
}

CK_RV sim_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    auto work = [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        const Object* o = object_of(*s, hObject);
        if (o == nullptr) {
            return CKR_OBJECT_HANDLE_INVALID;
        }
        if (pTemplate == nullptr && ulCount != 0) {
            return CKR_ARGUMENTS_BAD;
        }
        CK_RV rv = CKR_OK;
        std::string value;
        for (CK_ULONG i = 0; i < ulCount; ++i) {
            CK_ATTRIBUTE& a = pTemplate[i];
            const simcard::Knob& lie = s_state.faults.value_length;
            if (!attribute(*o, a.type, &value)) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
            } else if (a.pValue == nullptr) {
                a.ulValueLen = a.type == CKA_VALUE && lie.set ? lie.value : value.size();
            } else if (a.ulValueLen >= value.size()) {
                std::memcpy(a.pValue, value.data(), value.size());
                a.ulValueLen = value.size();
            } else {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
            }
        }
        return rv;
    };
    return entry(simcard::kGetAttributeValue, kInitialised, work, [&] {
        return format("session=%lu object=%lu count=%lu", hSession, hObject, ulCount);
    });
}

// ---- random numbers, legacy and unsupported functions ----

// A token without CKF_RNG: its random functions say so, for a session that exists.
CK_RV no_generator(Fn fn, CK_SESSION_HANDLE hSession) {
    return entry(
        fn, kInitialised,
        [&] { return session_of(hSession) ? CKR_RANDOM_NO_RNG : CKR_SESSION_HANDLE_INVALID; },
        [&] { return format("session=%lu", hSession); });
}

CK_RV sim_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
    return no_generator(simcard::kSeedRandom, hSession);
}

CK_RV sim_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
    return no_generator(simcard::kGenerateRandom, hSession);
}

CK_RV sim_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
    return entry(
        simcard::kGetFunctionStatus, kInitialised, [] { return CKR_FUNCTION_NOT_PARALLEL; },
        [&] { return format("session=%lu", hSession); });
}

CK_RV sim_CancelFunction(CK_SESSION_HANDLE hSession) {
    return entry(
        simcard::kCancelFunction, kInitialised, [] { return CKR_FUNCTION_NOT_PARALLEL; },
        [&] { return format("session=%lu", hSession); });
}

// A function this card does not offer, with the exact signature of its list entry.
template <Unsupported fn, typename Pointer>
struct NotSupported;
template <Unsupported fn, typename... Args>
struct NotSupported<fn, CK_RV (*)(Args...)> {
    static CK_RV call(Args...) {
        std::lock_guard<std::mutex> guard(s_lock);
        trace(kUnsupportedNames[fn], "", CKR_FUNCTION_NOT_SUPPORTED);
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
};

CK_FUNCTION_LIST make_function_list() {
    CK_FUNCTION_LIST l{};
    l.version = kCryptokiVersion;
#define SIMCARD_WORKS(name) l.C_##name = sim_##name;
#define SIMCARD_REFUSES(name) l.C_##name = NotSupported<u##name, CK_C_##name>::call;
    SIMCARD_FUNCTIONS(SIMCARD_WORKS)
    SIMCARD_UNSUPPORTED(SIMCARD_REFUSES)
#undef SIMCARD_WORKS
#undef SIMCARD_REFUSES
    return l;
}

CK_FUNCTION_LIST s_function_list = make_function_list();
// The list handed out while the [fault] section leaves a function out of it.
CK_FUNCTION_LIST s_incomplete_list;

// The full list without the entry of `fn`.
CK_FUNCTION_LIST list_without(Fn fn) {
    CK_FUNCTION_LIST l = s_function_list;
    switch (fn) {
#define SIMCARD_LEAVE_OUT(name) \
    case simcard::k##name:      \
        l.C_##name = nullptr;   \
        break;
        SIMCARD_FUNCTIONS(SIMCARD_LEAVE_OUT)
#undef SIMCARD_LEAVE_OUT
        default:
            break;
    }
    return l;
}

CK_RV sim_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    auto work = [&]() -> CK_RV {
        // A fault for this function is the one entry read before C_Initialize: from the
        // [fault] section of the state file as it is now, ignored when it cannot be read.
        State peek;
        std::string ignored;
        const simcard::Faults& faults =
            s_initialized ||
                    !simcard::load_state(state_path(), &peek, &ignored, simcard::kFaultsOnly)
                ? s_state.faults
                : peek.faults;
        const simcard::Knob& fault = faults.rv[simcard::kGetFunctionList];
        if (fault.set) {
            return fault.value;
        }
        if (ppFunctionList == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *ppFunctionList = &s_function_list;
        if (faults.missing_function.set) {
            s_incomplete_list = list_without(static_cast<Fn>(faults.missing_function.value));
            *ppFunctionList = &s_incomplete_list;
        }
        return CKR_OK;
    };
    return entry(simcard::kGetFunctionList, kItself, work, [] { return std::string(); });
}

}  // namespace

/* The module's one exported entry point: stores the address of the module's function
 * list, which stays valid while the module is loaded, in `*ppFunctionList`. Returns
 * CKR_ARGUMENTS_BAD for a null pointer, or the code that the state file's [fault] section
 * gives for C_GetFunctionList. */
extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    return sim_GetFunctionList(ppFunctionList);
}
