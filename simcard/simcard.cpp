// The simulated smart card: a PKCS#11 2.x module whose readers, cards, PINs and
// certificates live in a plain text state file.
#include <dlfcn.h>
#include <fcntl.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

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

#include "state.h"

using simcard::Fn;
using simcard::State;

namespace {

static_assert(sizeof(CK_FUNCTION_LIST) == offsetof(CK_FUNCTION_LIST, C_Initialize) +
                                              simcard::kFunctionCount * sizeof(void*),
              "the Fn enumeration must name every entry of the function list");

// Version of the standard this module answers to, and of the module itself.
constexpr CK_VERSION kCryptokiVersion = {2, 40};
constexpr CK_VERSION kModuleVersion = {1, 0};
constexpr const char* kMaker = "Pin Manager project";

// Object handles: (slot + 1) * kObjectStride + certificate index + 1, so 0 is never one.
constexpr CK_ULONG kObjectStride = 0x100000;

enum Login { kPublic, kUser, kSecurityOfficer };

struct Session {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t next = 0;
};

std::mutex s_lock;
bool s_initialized = false;
State s_state;
std::vector<Login> s_login;  // per slot, shared by the slot's sessions
std::map<CK_SESSION_HANDLE, Session> s_sessions;
CK_SESSION_HANDLE s_lastHandle = 0;  // handles are never reused, not even across C_Initialize
// This library's file, found when it is loaded. A plain array: the constructor below may
// run before the C++ objects of this file are constructed.
char s_modulePath[PATH_MAX];

__attribute__((constructor)) void find_own_file() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&find_own_file), &info) == 0 || info.dli_fname == nullptr) {
        return;
    }
    char resolved[PATH_MAX];
    const char* name = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
    std::snprintf(s_modulePath, sizeof s_modulePath, "%s", name);
}

// The state file: $SIMCARD_STATE, else simcard.state beside this library. Absolute, so a
// later change of the working directory does not move it.
std::string state_path() {
    std::string path;
    const char* env = std::getenv("SIMCARD_STATE");
    if (env != nullptr && env[0] != '\0') {
        path = env;
    } else {
        const std::string module = s_modulePath;
        size_t slash = module.rfind('/');
        path = (slash == std::string::npos ? std::string() : module.substr(0, slash + 1)) +
               "simcard.state";
    }
    if (path.empty() || path.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            path = std::string(cwd) + "/" + path;
        }
    }
    // Through a symbolic link to the file itself, so a rewrite replaces the real file.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) {
        path = resolved;
    }
    return path;
}

// Appends one line to the file that $SIMCARD_TRACE names. Callers pass no secret.
__attribute__((format(printf, 1, 2))) void trace(const char* format, ...) {
    const char* file = std::getenv("SIMCARD_TRACE");
    if (file == nullptr || file[0] == '\0') {
        return;
    }
    char line[512] = {};
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    size_t len = std::strlen(line);
    line[len++] = '\n';
    int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    ssize_t ignored = write(fd, line, len);
    (void)ignored;
    close(fd);
}

// Fills a fixed-width PKCS#11 text field with `text`, blank-padded, no terminator.
void pad(CK_UTF8CHAR* field, size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

// Runs `work` for an initialised module unless the state file replaces it with a fault
// code. Exceptions never leave the module. The caller holds s_lock.
template <typename Work>
CK_RV run(Fn fn, Work&& work) {
    if (!s_initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (s_state.faults.rv[fn].set) {
        return s_state.faults.rv[fn].value;
    }
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

simcard::Reader* reader_of(CK_SLOT_ID slot) {
    return slot < s_state.readers.size() ? &s_state.readers[slot] : nullptr;
}

Session* session_of(CK_SESSION_HANDLE h) {
    auto it = s_sessions.find(h);
    return it == s_sessions.end() ? nullptr : &it->second;
}

// Saves the state after `change` has changed reader `r`; undoes the change when the file
// cannot be written, since a card that cannot record a change has not made it.
template <typename Change>
bool commit(simcard::Reader& r, Change&& change) {
    const std::string pin = r.pin, puk = r.puk;
    const CK_ULONG pin_tries = r.pin_tries, puk_tries = r.puk_tries;
    change();
    if (simcard::SaveState(&s_state)) {
        return true;
    }
    r.pin = pin;
    r.puk = puk;
    r.pin_tries = pin_tries;
    r.puk_tries = puk_tries;
    return false;
}

// Checks a PIN (`so` false) or the PUK (`so` true) against the card and counts the try.
CK_RV verify_secret(simcard::Reader& r, bool so, const CK_UTF8CHAR* pin, CK_ULONG len) {
    CK_ULONG& tries = so ? r.puk_tries : r.pin_tries;
    const CK_ULONG max = so ? r.puk_max_tries : r.pin_max_tries;
    const std::string& secret = so ? r.puk : r.pin;
    if (tries == 0) {
        return CKR_PIN_LOCKED;
    }
    bool right = len == secret.size() && std::memcmp(pin, secret.data(), len) == 0;
    if (right && tries == max) {
        return CKR_OK;
    }
    if (!commit(r, [&] { tries = right ? max : tries - 1; })) {
        return CKR_DEVICE_ERROR;
    }
    return right ? CKR_OK : CKR_PIN_INCORRECT;
}

CK_FLAGS pin_flags(CK_ULONG tries, CK_ULONG max, CK_FLAGS low, CK_FLAGS final, CK_FLAGS locked) {
    CK_FLAGS f = 0;
    if (tries < max) {
        f |= low;
    }
    if (tries == 1) {
        f |= final;
    }
    if (tries == 0) {
        f |= locked;
    }
    return f;
}

bool has_read_only_session(CK_SLOT_ID slot) {
    for (const auto& [h, s] : s_sessions) {
        if (s.slot == slot && (s.flags & CKF_RW_SESSION) == 0) {
            return true;
        }
    }
    return false;
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

// The bytes of attribute `type` of certificate `index` of reader `r`; false when the
// object has no such attribute.
bool attribute(const simcard::Reader& r, size_t index, CK_ATTRIBUTE_TYPE type, std::string* out) {
    const simcard::Cert& c = r.certs[index];
    auto ulong = [out](CK_ULONG v) {
        out->assign(reinterpret_cast<const char*>(&v), sizeof v);
        return true;
    };
    auto bbool = [out](CK_BBOOL v) {
        out->assign(1, static_cast<char>(v));
        return true;
    };
    switch (type) {
        case CKA_CLASS:
            return ulong(CKO_CERTIFICATE);
        case CKA_CERTIFICATE_TYPE:
            return ulong(CKC_X_509);
        case CKA_TOKEN:
            return bbool(CK_TRUE);
        case CKA_PRIVATE:
        case CKA_MODIFIABLE:
            return bbool(CK_FALSE);
        case CKA_LABEL:
            *out = c.label;
            return true;
        case CKA_VALUE:
            *out = c.der;
            return true;
        default:
            return false;
    }
}

// The reader and certificate index that handle `h` names for `session`, or null.
const simcard::Reader* object_of(const Session& session, CK_OBJECT_HANDLE h, size_t* index) {
    if (h / kObjectStride != session.slot + 1 || h % kObjectStride == 0) {
        return nullptr;
    }
    const simcard::Reader* r = reader_of(session.slot);
    *index = h % kObjectStride - 1;
    return r != nullptr && *index < r->certs.size() ? r : nullptr;
}

// ---- general purpose ----

CK_RV sim_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList);

CK_RV sim_Initialize(CK_VOID_PTR pInitArgs) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = CKR_OK;
    std::string path;
    if (s_initialized) {
        rv = CKR_CRYPTOKI_ALREADY_INITIALIZED;
    } else if (pInitArgs != nullptr) {
        // The module locks with its own mutex, so any valid locking choice is accepted.
        auto* a = static_cast<CK_C_INITIALIZE_ARGS*>(pInitArgs);
        int given = (a->CreateMutex != nullptr) + (a->DestroyMutex != nullptr) +
                    (a->LockMutex != nullptr) + (a->UnlockMutex != nullptr);
        if (a->pReserved != nullptr || (given != 0 && given != 4)) {
            rv = CKR_ARGUMENTS_BAD;
        }
    }
    if (rv == CKR_OK) {
        try {
            path = state_path();
            std::string error;
            State loaded;
            if (!simcard::LoadState(path, &loaded, &error)) {
                std::fprintf(stderr, "simcard: %s\n", error.c_str());
                rv = CKR_GENERAL_ERROR;
            } else if (loaded.faults.rv[simcard::kInitialize].set) {
                rv = loaded.faults.rv[simcard::kInitialize].value;
            } else {
                s_state = std::move(loaded);
                s_login.assign(s_state.readers.size(), kPublic);
                s_sessions.clear();
                s_initialized = true;
            }
        } catch (...) {
            rv = CKR_HOST_MEMORY;
        }
    }
    trace("C_Initialize args=%s rv=0x%lx", pInitArgs == nullptr ? "null" : "set", rv);
    return rv;
}

CK_RV sim_Finalize(CK_VOID_PTR pReserved) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kFinalize, [&]() -> CK_RV {
        if (pReserved != nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        s_sessions.clear();
        s_login.clear();
        s_state = State();
        s_initialized = false;
        return CKR_OK;
    });
    trace("C_Finalize rv=0x%lx", rv);
    return rv;
}

CK_RV sim_GetInfo(CK_INFO_PTR pInfo) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetInfo, [&]() -> CK_RV {
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(pInfo, 0, sizeof *pInfo);
        pInfo->cryptokiVersion = kCryptokiVersion;
        pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, kMaker);
        pad(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "Simulated smart card");
        pInfo->libraryVersion = kModuleVersion;
        return CKR_OK;
    });
    trace("C_GetInfo rv=0x%lx", rv);
    return rv;
}

// ---- slots and tokens ----

CK_RV sim_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetSlotList, [&]() -> CK_RV {
        if (pulCount == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::vector<CK_SLOT_ID> slots;
        for (CK_SLOT_ID i = 0; i < s_state.readers.size(); ++i) {
            if (!tokenPresent || s_state.readers[i].present) {
                slots.push_back(i);
            }
        }
        CK_RV result = CKR_OK;
        if (pSlotList != nullptr) {
            if (*pulCount < slots.size()) {
                result = CKR_BUFFER_TOO_SMALL;
            } else {
                std::copy(slots.begin(), slots.end(), pSlotList);
            }
        }
        *pulCount = slots.size();
        if (s_state.faults.slot_count.set) {
            *pulCount = s_state.faults.slot_count.value;
        }
        return result;
    });
    if (pulCount != nullptr) {
        trace("C_GetSlotList present=%u list=%s count=%lu rv=0x%lx", tokenPresent,
              pSlotList == nullptr ? "null" : "set", *pulCount, rv);
    } else {
        trace("C_GetSlotList present=%u count=null rv=0x%lx", tokenPresent, rv);
    }
    return rv;
}

CK_RV sim_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetSlotInfo, [&]() -> CK_RV {
        const simcard::Reader* r = reader_of(slotID);
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
    });
    trace("C_GetSlotInfo slot=%lu rv=0x%lx", slotID, rv);
    return rv;
}

CK_RV sim_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetTokenInfo, [&]() -> CK_RV {
        const simcard::Reader* r = reader_of(slotID);
        if (r == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (!r->present) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(pInfo, 0, sizeof *pInfo);
        pad(pInfo->label, sizeof pInfo->label, r->label);
        pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, r->manufacturer);
        pad(pInfo->model, sizeof pInfo->model, r->model);
        pad(pInfo->serialNumber, sizeof pInfo->serialNumber, r->serial);
        pad(pInfo->utcTime, sizeof pInfo->utcTime, "");
        pInfo->flags = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED |
                       pin_flags(r->pin_tries, r->pin_max_tries, CKF_USER_PIN_COUNT_LOW,
                                 CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED) |
                       pin_flags(r->puk_tries, r->puk_max_tries, CKF_SO_PIN_COUNT_LOW,
                                 CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED) |
                       r->extra_flags;
        CK_ULONG all = 0, rw = 0;
        for (const auto& [h, s] : s_sessions) {
            if (s.slot == slotID) {
                ++all;
                rw += (s.flags & CKF_RW_SESSION) != 0;
            }
        }
        pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulSessionCount = all;
        pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulRwSessionCount = rw;
        pInfo->ulMaxPinLen = r->max_pin;
        pInfo->ulMinPinLen = r->min_pin;
        pInfo->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->hardwareVersion = kModuleVersion;
        pInfo->firmwareVersion = kModuleVersion;
        return CKR_OK;
    });
    trace("C_GetTokenInfo slot=%lu rv=0x%lx", slotID, rv);
    return rv;
}

CK_RV sim_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                           CK_ULONG_PTR pulCount) {
    (void)pMechanismList;  // the card has no mechanisms: nothing is ever written there
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetMechanismList, [&]() -> CK_RV {
        const simcard::Reader* r = reader_of(slotID);
        if (r == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (!r->present) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        if (pulCount == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *pulCount = 0;
        return CKR_OK;
    });
    trace("C_GetMechanismList slot=%lu rv=0x%lx", slotID, rv);
    return rv;
}

CK_RV sim_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetMechanismInfo, [&]() -> CK_RV {
        const simcard::Reader* r = reader_of(slotID);
        if (r == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        return r->present ? CKR_MECHANISM_INVALID : CKR_TOKEN_NOT_PRESENT;
    });
    trace("C_GetMechanismInfo slot=%lu mechanism=0x%lx rv=0x%lx", slotID, type, rv);
    return rv;
}

// ---- sessions ----

CK_RV sim_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                      CK_SESSION_HANDLE_PTR phSession) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_SESSION_HANDLE handed = 0;
    CK_RV rv = run(simcard::kOpenSession, [&]() -> CK_RV {
        const simcard::Reader* r = reader_of(slotID);
        if (r == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (!r->present) {
            return CKR_TOKEN_NOT_PRESENT;
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
        s_sessions.emplace(++s_lastHandle, std::move(s));
        handed = *phSession = s_lastHandle;
        return CKR_OK;
    });
    trace("C_OpenSession slot=%lu flags=0x%lx session=%lu rv=0x%lx", slotID, flags, handed, rv);
    return rv;
}

CK_RV sim_CloseSession(CK_SESSION_HANDLE hSession) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kCloseSession, [&]() -> CK_RV {
        auto it = s_sessions.find(hSession);
        if (it == s_sessions.end()) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        end_session(it);
        return CKR_OK;
    });
    trace("C_CloseSession session=%lu rv=0x%lx", hSession, rv);
    return rv;
}

CK_RV sim_CloseAllSessions(CK_SLOT_ID slotID) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kCloseAllSessions, [&]() -> CK_RV {
        const simcard::Reader* r = reader_of(slotID);
        if (r == nullptr) {
            return CKR_SLOT_ID_INVALID;
        }
        if (!r->present) {
            return CKR_TOKEN_NOT_PRESENT;
        }
        for (auto it = s_sessions.begin(); it != s_sessions.end();) {
            it = it->second.slot == slotID ? s_sessions.erase(it) : std::next(it);
        }
        s_login[slotID] = kPublic;
        return CKR_OK;
    });
    trace("C_CloseAllSessions slot=%lu rv=0x%lx", slotID, rv);
    return rv;
}

CK_RV sim_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetSessionInfo, [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        bool rw = (s->flags & CKF_RW_SESSION) != 0;
        std::memset(pInfo, 0, sizeof *pInfo);
        pInfo->slotID = s->slot;
        pInfo->flags = s->flags;
        switch (s_login[s->slot]) {
            case kUser:
                pInfo->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
                break;
            case kSecurityOfficer:
                pInfo->state = CKS_RW_SO_FUNCTIONS;
                break;
            default:
                pInfo->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
        }
        return CKR_OK;
    });
    trace("C_GetSessionInfo session=%lu rv=0x%lx", hSession, rv);
    return rv;
}

// ---- login and PINs ----

CK_RV sim_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                CK_ULONG ulPinLen) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kLogin, [&]() -> CK_RV {
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
        if (current == wanted) {
            return CKR_USER_ALREADY_LOGGED_IN;
        }
        if (current != kPublic) {
            return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
        }
        if (wanted == kSecurityOfficer && has_read_only_session(s->slot)) {
            return CKR_SESSION_READ_ONLY_EXISTS;
        }
        CK_RV result =
            verify_secret(s_state.readers[s->slot], wanted == kSecurityOfficer, pPin, ulPinLen);
        if (result == CKR_OK) {
            current = wanted;
        }
        return result;
    });
    trace("C_Login session=%lu user=%lu len=%lu rv=0x%lx", hSession, userType, ulPinLen, rv);
    return rv;
}

CK_RV sim_Logout(CK_SESSION_HANDLE hSession) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kLogout, [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        if (s_login[s->slot] == kPublic) {
            return CKR_USER_NOT_LOGGED_IN;
        }
        s_login[s->slot] = kPublic;
        return CKR_OK;
    });
    trace("C_Logout session=%lu rv=0x%lx", hSession, rv);
    return rv;
}

bool length_fits(const simcard::Reader& r, CK_ULONG len) {
    return len >= r.min_pin && len <= r.max_pin;
}

CK_RV sim_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kInitPIN, [&]() -> CK_RV {
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
        simcard::Reader& r = s_state.readers[s->slot];
        if (!length_fits(r, ulPinLen)) {
            return CKR_PIN_LEN_RANGE;
        }
        bool saved = commit(r, [&] {
            r.pin.assign(reinterpret_cast<const char*>(pPin), ulPinLen);
            r.pin_tries = r.pin_max_tries;
        });
        return saved ? CKR_OK : CKR_DEVICE_ERROR;
    });
    trace("C_InitPIN session=%lu len=%lu rv=0x%lx", hSession, ulPinLen, rv);
    return rv;
}

CK_RV sim_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                 CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_ULONG user = CKU_USER;
    CK_RV rv = run(simcard::kSetPIN, [&]() -> CK_RV {
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
        simcard::Reader& r = s_state.readers[s->slot];
        CK_RV checked = verify_secret(r, so, pOldPin, ulOldLen);
        if (checked != CKR_OK) {
            return checked;
        }
        if (!length_fits(r, ulNewLen)) {
            return CKR_PIN_LEN_RANGE;
        }
        bool saved = commit(r, [&] {
            (so ? r.puk : r.pin).assign(reinterpret_cast<const char*>(pNewPin), ulNewLen);
        });
        return saved ? CKR_OK : CKR_DEVICE_ERROR;
    });
    trace("C_SetPIN session=%lu user=%lu oldlen=%lu newlen=%lu rv=0x%lx", hSession, user, ulOldLen,
          ulNewLen, rv);
    return rv;
}

// ---- objects ----

CK_RV sim_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kFindObjectsInit, [&]() -> CK_RV {
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
        const simcard::Reader& r = s_state.readers[s->slot];
        std::vector<CK_OBJECT_HANDLE> found;
        std::string value;
        for (size_t c = 0; c < r.certs.size() && c + 1 < kObjectStride; ++c) {
            bool match = true;
            for (CK_ULONG i = 0; i < ulCount && match; ++i) {
                const CK_ATTRIBUTE& want = pTemplate[i];
                match =
                    attribute(r, c, want.type, &value) && value.size() == want.ulValueLen &&
                    (value.empty() || std::memcmp(value.data(), want.pValue, value.size()) == 0);
            }
            if (match) {
                found.push_back((s->slot + 1) * kObjectStride + c + 1);
            }
        }
        s->found = std::move(found);
        s->next = 0;
        s->finding = true;
        return CKR_OK;
    });
    trace("C_FindObjectsInit session=%lu count=%lu rv=0x%lx", hSession, ulCount, rv);
    return rv;
}

CK_RV sim_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                      CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kFindObjects, [&]() -> CK_RV {
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
        size_t left = s->found.size() - s->next;
        size_t n = left < ulMaxObjectCount ? left : ulMaxObjectCount;
        std::copy(s->found.begin() + static_cast<std::ptrdiff_t>(s->next),
                  s->found.begin() + static_cast<std::ptrdiff_t>(s->next + n), phObject);
        s->next += n;
        *pulObjectCount = n;
        if (s_state.faults.object_count.set) {
            *pulObjectCount = s_state.faults.object_count.value;
        }
        return CKR_OK;
    });
    if (pulObjectCount != nullptr) {
        trace("C_FindObjects session=%lu max=%lu count=%lu rv=0x%lx", hSession, ulMaxObjectCount,
              *pulObjectCount, rv);
    } else {
        trace("C_FindObjects session=%lu max=%lu count=null rv=0x%lx", hSession, ulMaxObjectCount,
              rv);
    }
    return rv;
}

CK_RV sim_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kFindObjectsFinal, [&]() -> CK_RV {
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
    });
    trace("C_FindObjectsFinal session=%lu rv=0x%lx", hSession, rv);
    return rv;
}

CK_RV sim_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetAttributeValue, [&]() -> CK_RV {
        const Session* s = session_of(hSession);
        if (s == nullptr) {
            return CKR_SESSION_HANDLE_INVALID;
        }
        size_t index = 0;
        const simcard::Reader* r = object_of(*s, hObject, &index);
        if (r == nullptr) {
            return CKR_OBJECT_HANDLE_INVALID;
        }
        if (pTemplate == nullptr && ulCount != 0) {
            return CKR_ARGUMENTS_BAD;
        }
        CK_RV result = CKR_OK;
        std::string value;
        for (CK_ULONG i = 0; i < ulCount; ++i) {
            CK_ATTRIBUTE& a = pTemplate[i];
            if (!attribute(*r, index, a.type, &value)) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                result = CKR_ATTRIBUTE_TYPE_INVALID;
            } else if (a.pValue == nullptr) {
                a.ulValueLen = value.size();
                if (a.type == CKA_VALUE && s_state.faults.value_length.set) {
                    a.ulValueLen = s_state.faults.value_length.value;
                }
            } else if (a.ulValueLen >= value.size()) {
                std::memcpy(a.pValue, value.data(), value.size());
                a.ulValueLen = value.size();
            } else {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                result = CKR_BUFFER_TOO_SMALL;
            }
        }
        return result;
    });
    trace("C_GetAttributeValue session=%lu object=%lu count=%lu rv=0x%lx", hSession, hObject,
          ulCount, rv);
    return rv;
}

// ---- legacy and unsupported functions ----

CK_RV sim_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kGetFunctionStatus, [] { return CKR_FUNCTION_NOT_PARALLEL; });
    trace("C_GetFunctionStatus session=%lu rv=0x%lx", hSession, rv);
    return rv;
}

CK_RV sim_CancelFunction(CK_SESSION_HANDLE hSession) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = run(simcard::kCancelFunction, [] { return CKR_FUNCTION_NOT_PARALLEL; });
    trace("C_CancelFunction session=%lu rv=0x%lx", hSession, rv);
    return rv;
}

// A function this card does not offer, with the exact signature of its list entry.
template <Fn fn, typename Pointer>
struct Unsupported;
template <Fn fn, typename... Args>
struct Unsupported<fn, CK_RV (*)(Args...)> {
    static CK_RV call(Args...) {
        std::lock_guard<std::mutex> guard(s_lock);
        CK_RV rv = CKR_FUNCTION_NOT_SUPPORTED;
        if (s_initialized && s_state.faults.rv[fn].set) {
            rv = s_state.faults.rv[fn].value;
        }
        trace("%s rv=0x%lx", simcard::kFunctionNames[fn], rv);
        return rv;
    }
};

#define SIM_UNSUPPORTED(name) Unsupported<simcard::k##name, CK_C_##name>::call

CK_FUNCTION_LIST make_function_list() {
    CK_FUNCTION_LIST l{};
    l.version = kCryptokiVersion;
    l.C_Initialize = sim_Initialize;
    l.C_Finalize = sim_Finalize;
    l.C_GetInfo = sim_GetInfo;
    l.C_GetFunctionList = sim_GetFunctionList;
    l.C_GetSlotList = sim_GetSlotList;
    l.C_GetSlotInfo = sim_GetSlotInfo;
    l.C_GetTokenInfo = sim_GetTokenInfo;
    l.C_GetMechanismList = sim_GetMechanismList;
    l.C_GetMechanismInfo = sim_GetMechanismInfo;
    l.C_InitToken = SIM_UNSUPPORTED(InitToken);
    l.C_InitPIN = sim_InitPIN;
    l.C_SetPIN = sim_SetPIN;
    l.C_OpenSession = sim_OpenSession;
    l.C_CloseSession = sim_CloseSession;
    l.C_CloseAllSessions = sim_CloseAllSessions;
    l.C_GetSessionInfo = sim_GetSessionInfo;
    l.C_GetOperationState = SIM_UNSUPPORTED(GetOperationState);
    l.C_SetOperationState = SIM_UNSUPPORTED(SetOperationState);
    l.C_Login = sim_Login;
    l.C_Logout = sim_Logout;
    l.C_CreateObject = SIM_UNSUPPORTED(CreateObject);
    l.C_CopyObject = SIM_UNSUPPORTED(CopyObject);
    l.C_DestroyObject = SIM_UNSUPPORTED(DestroyObject);
    l.C_GetObjectSize = SIM_UNSUPPORTED(GetObjectSize);
    l.C_GetAttributeValue = sim_GetAttributeValue;
    l.C_SetAttributeValue = SIM_UNSUPPORTED(SetAttributeValue);
    l.C_FindObjectsInit = sim_FindObjectsInit;
    l.C_FindObjects = sim_FindObjects;
    l.C_FindObjectsFinal = sim_FindObjectsFinal;
    l.C_EncryptInit = SIM_UNSUPPORTED(EncryptInit);
    l.C_Encrypt = SIM_UNSUPPORTED(Encrypt);
    l.C_EncryptUpdate = SIM_UNSUPPORTED(EncryptUpdate);
    l.C_EncryptFinal = SIM_UNSUPPORTED(EncryptFinal);
    l.C_DecryptInit = SIM_UNSUPPORTED(DecryptInit);
    l.C_Decrypt = SIM_UNSUPPORTED(Decrypt);
    l.C_DecryptUpdate = SIM_UNSUPPORTED(DecryptUpdate);
    l.C_DecryptFinal = SIM_UNSUPPORTED(DecryptFinal);
    l.C_DigestInit = SIM_UNSUPPORTED(DigestInit);
    l.C_Digest = SIM_UNSUPPORTED(Digest);
    l.C_DigestUpdate = SIM_UNSUPPORTED(DigestUpdate);
    l.C_DigestKey = SIM_UNSUPPORTED(DigestKey);
    l.C_DigestFinal = SIM_UNSUPPORTED(DigestFinal);
    l.C_SignInit = SIM_UNSUPPORTED(SignInit);
    l.C_Sign = SIM_UNSUPPORTED(Sign);
    l.C_SignUpdate = SIM_UNSUPPORTED(SignUpdate);
    l.C_SignFinal = SIM_UNSUPPORTED(SignFinal);
    l.C_SignRecoverInit = SIM_UNSUPPORTED(SignRecoverInit);
    l.C_SignRecover = SIM_UNSUPPORTED(SignRecover);
    l.C_VerifyInit = SIM_UNSUPPORTED(VerifyInit);
    l.C_Verify = SIM_UNSUPPORTED(Verify);
    l.C_VerifyUpdate = SIM_UNSUPPORTED(VerifyUpdate);
    l.C_VerifyFinal = SIM_UNSUPPORTED(VerifyFinal);
    l.C_VerifyRecoverInit = SIM_UNSUPPORTED(VerifyRecoverInit);
    l.C_VerifyRecover = SIM_UNSUPPORTED(VerifyRecover);
    l.C_DigestEncryptUpdate = SIM_UNSUPPORTED(DigestEncryptUpdate);
    l.C_DecryptDigestUpdate = SIM_UNSUPPORTED(DecryptDigestUpdate);
    l.C_SignEncryptUpdate = SIM_UNSUPPORTED(SignEncryptUpdate);
    l.C_DecryptVerifyUpdate = SIM_UNSUPPORTED(DecryptVerifyUpdate);
    l.C_GenerateKey = SIM_UNSUPPORTED(GenerateKey);
    l.C_GenerateKeyPair = SIM_UNSUPPORTED(GenerateKeyPair);
    l.C_WrapKey = SIM_UNSUPPORTED(WrapKey);
    l.C_UnwrapKey = SIM_UNSUPPORTED(UnwrapKey);
    l.C_DeriveKey = SIM_UNSUPPORTED(DeriveKey);
    l.C_SeedRandom = SIM_UNSUPPORTED(SeedRandom);
    l.C_GenerateRandom = SIM_UNSUPPORTED(GenerateRandom);
    l.C_GetFunctionStatus = sim_GetFunctionStatus;
    l.C_CancelFunction = sim_CancelFunction;
    l.C_WaitForSlotEvent = SIM_UNSUPPORTED(WaitForSlotEvent);
    return l;
}

CK_FUNCTION_LIST s_functionList = make_function_list();

CK_RV sim_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    std::lock_guard<std::mutex> guard(s_lock);
    CK_RV rv = CKR_OK;
    // A fault for this function is the one entry read before C_Initialize: it comes from
    // the state file as it is now, silently ignored when the file cannot be read.
    if (s_initialized) {
        if (s_state.faults.rv[simcard::kGetFunctionList].set) {
            rv = s_state.faults.rv[simcard::kGetFunctionList].value;
        }
    } else {
        try {
            State peek;
            std::string ignored;
            if (simcard::LoadState(state_path(), &peek, &ignored) &&
                peek.faults.rv[simcard::kGetFunctionList].set) {
                rv = peek.faults.rv[simcard::kGetFunctionList].value;
            }
        } catch (...) {
            rv = CKR_HOST_MEMORY;
        }
    }
    if (rv == CKR_OK) {
        if (ppFunctionList == nullptr) {
            rv = CKR_ARGUMENTS_BAD;
        } else {
            *ppFunctionList = &s_functionList;
        }
    }
    trace("C_GetFunctionList rv=0x%lx", rv);
    return rv;
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
