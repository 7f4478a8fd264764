// The simulated card's state file: its parsed form, how it is read and how it is written back.
#ifndef SIMCARD_STATE_H
#define SIMCARD_STATE_H

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace simcard {

/* The entries of CK_FUNCTION_LIST after its version, in the list's order. */
enum Fn : int {
    kInitialize,
    kFinalize,
    kGetInfo,
    kGetFunctionList,
    kGetSlotList,
    kGetSlotInfo,
    kGetTokenInfo,
    kGetMechanismList,
    kGetMechanismInfo,
    kInitToken,
    kInitPIN,
    kSetPIN,
    kOpenSession,
    kCloseSession,
    kCloseAllSessions,
    kGetSessionInfo,
    kGetOperationState,
    kSetOperationState,
    kLogin,
    kLogout,
    kCreateObject,
    kCopyObject,
    kDestroyObject,
    kGetObjectSize,
    kGetAttributeValue,
    kSetAttributeValue,
    kFindObjectsInit,
    kFindObjects,
    kFindObjectsFinal,
    kEncryptInit,
    kEncrypt,
    kEncryptUpdate,
    kEncryptFinal,
    kDecryptInit,
    kDecrypt,
    kDecryptUpdate,
    kDecryptFinal,
    kDigestInit,
    kDigest,
    kDigestUpdate,
    kDigestKey,
    kDigestFinal,
    kSignInit,
    kSign,
    kSignUpdate,
    kSignFinal,
    kSignRecoverInit,
    kSignRecover,
    kVerifyInit,
    kVerify,
    kVerifyUpdate,
    kVerifyFinal,
    kVerifyRecoverInit,
    kVerifyRecover,
    kDigestEncryptUpdate,
    kDecryptDigestUpdate,
    kSignEncryptUpdate,
    kDecryptVerifyUpdate,
    kGenerateKey,
    kGenerateKeyPair,
    kWrapKey,
    kUnwrapKey,
    kDeriveKey,
    kSeedRandom,
    kGenerateRandom,
    kGetFunctionStatus,
    kCancelFunction,
    kWaitForSlotEvent,
    kFunctionCount
};

/* The standard name of each Fn, e.g. "C_Login"; indexed by Fn. */
extern const char* const kFunctionNames[kFunctionCount];

/* A number given in the state file; `set` is false when the file has none. */
struct Knob {
    bool set = false;
    CK_ULONG value = 0;
};

/* The [fault] section: codes that replace a function's work, and misbehaviours. */
struct Faults {
    Knob rv[kFunctionCount];  // C_Xxx = code
    Knob slot_count;          // C_GetSlotList.count
    Knob object_count;        // C_FindObjects.count
    Knob value_length;        // C_GetAttributeValue.length
    Knob session_handle;      // C_OpenSession.handle
};

/* One certificate object: its DER bytes and the label taken from the file name. */
struct Cert {
    std::string label;
    std::string der;
};

/* The keys that change at run time and are written back; index into Reader::line. */
enum Mutable : int { kPinKey, kPukKey, kPinTriesKey, kPukTriesKey, kMutableCount };

/* One [reader] section. */
struct Reader {
    std::string description;
    bool present = true;
    std::string label;
    std::string serial;
    std::string model;
    std::string manufacturer;
    CK_ULONG min_pin = 4;
    CK_ULONG max_pin = 8;
    std::string pin;  // secret: never printed
    std::string puk;  // secret: never printed
    CK_ULONG pin_tries = 3;
    CK_ULONG pin_max_tries = 3;
    CK_ULONG puk_tries = 10;
    CK_ULONG puk_max_tries = 10;
    CK_FLAGS extra_flags = 0;
    std::vector<Cert> certs;
    // Where the section lives in State::lines: the line of each mutable key (-1 when the
    // file has none yet) and the line after which missing keys are inserted.
    long line[kMutableCount] = {-1, -1, -1, -1};
    long last_line = 0;
};

/* The whole card state as read from one file. */
struct State {
    std::string path;                // absolute path of the file
    std::vector<std::string> lines;  // the file's lines, without their '\n'
    std::vector<Reader> readers;     // slot id = index
    Faults faults;
};

/* Reads and checks the state file `path` (absolute) into `*out`, which it overwrites.
 * Returns true on success. On failure returns false and puts one line without newline,
 * naming the file and, where there is one, the line ("FILE:LINE: what"), into `*error`.
 * Never puts a PIN or PUK value into `*error`. */
bool LoadState(const std::string& path, State* out, std::string* error);

/* Writes the current PIN, PUK and try counters of every reader back into `st->lines` and
 * replaces the file atomically (temporary file in the same folder, fsync, rename), keeping
 * every other line, comments included, as it was. Returns false, with the file untouched
 * and `st->lines` unchanged, when the file cannot be written. */
bool SaveState(State* st);

/* The Fn whose standard name is `name`, or -1. */
int FunctionIndex(std::string_view name);

}  // namespace simcard

#endif
