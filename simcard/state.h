// SPDX-License-Identifier: MIT
// The simulated card's state file format, its one implementation: parse, look up, lock, write.
#ifndef SIMCARD_STATE_H
#define SIMCARD_STATE_H

#include <p11-kit/pkcs11.h>

#include <string>
#include <string_view>
#include <vector>

namespace simcard {

/* The functions the card does the work of, each also a [fault] key "C_Name". The one list
 * of them: the Fn enumeration, the fault keys and the trace names all come from here. */
// clang-format off
#define SIMCARD_FUNCTIONS(X) \
    X(Initialize) \
    X(Finalize) \
    X(GetInfo) \
    X(GetFunctionList) \
    X(GetSlotList) \
    X(GetSlotInfo) \
    X(GetTokenInfo) \
    X(GetMechanismList) \
    X(GetMechanismInfo) \
    X(InitPIN) \
    X(SetPIN) \
    X(OpenSession) \
    X(CloseSession) \
    X(CloseAllSessions) \
    X(GetSessionInfo) \
    X(Login) \
    X(Logout) \
    X(GetAttributeValue) \
    X(FindObjectsInit) \
    X(FindObjects) \
    X(FindObjectsFinal) \
    X(SeedRandom) \
    X(GenerateRandom) \
    X(GetFunctionStatus) \
    X(CancelFunction)
// clang-format on

enum Fn : int {
#define SIMCARD_ENUM(name) k##name,
    SIMCARD_FUNCTIONS(SIMCARD_ENUM)
#undef SIMCARD_ENUM
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
    Knob missing_function;    // C_GetFunctionList.missing: the Fn left out of the list
};

/* One certificate object: its DER bytes (any bytes) and the file name without extension. */
struct Cert {
    std::string label;
    std::string der;
};

/* The four values that change at run time and are written back. */
struct Secrets {
    std::string pin;  // never printed
    std::string puk;  // never printed
    CK_ULONG pin_tries = 3;
    CK_ULONG puk_tries = 10;
};

/* One [reader] section. */
struct Reader {
    std::string description;
    bool present = true;
    std::string label, serial, model, manufacturer;
    CK_ULONG min_pin = 4, max_pin = 8;
    Secrets now;
    CK_ULONG pin_max_tries = 3, puk_max_tries = 10;
    CK_FLAGS extra_flags = 0;
    std::vector<std::string> cert_files;  // as the file names them, in order
    std::vector<Cert> certs;              // read only when asked for
    // Every "key = value" of the section, decoded, in file order.
    std::vector<std::pair<std::string, std::string>> values;
};

/* The whole card state as read from one file. */
struct State {
    std::string path;             // the file, absolute
    std::string text;             // its bytes as read, the base of the next write-back
    std::vector<Reader> readers;  // slot id = index
    Faults faults;
};

/* What load_state reads. */
enum Scope { kFaultsOnly, kWithoutCerts, kEverything };

/* Reads and checks the state file `path` into `*out`, which it overwrites; `scope`
 * kFaultsOnly reads the [fault] section alone, kEverything also the certificate files.
 * Returns true on success. On failure returns false and puts one line without newline,
 * "FILE:LINE: what" (or "FILE: what"), into `*error`, with control and non-ASCII bytes
 * written as \xHH; it never holds a PIN or PUK value. */
bool load_state(const std::string& path, State* out, std::string* error, Scope scope = kEverything);

/* load_state on bytes already read (`text`, of the file `path`). */
bool parse_state(const std::string& path, const std::string& text, State* out, std::string* error,
                 Scope scope = kEverything);

/* Writes the Secrets of every reader with a card into the file: each line of pin, puk,
 * pin_tries and puk_tries in `st->text` becomes "key = value" (a missing pin_tries or
 * puk_tries line follows the pin or puk line), every other line stays as it is; the file
 * is replaced through replace_file. On success `st->text` is the new text. Returns false,
 * with file and `st` untouched, when the process may not write the file or writing fails. */
bool save_state(State* st);

/* The one writer of the format: the text of a state file that reads back as `st`'s readers
 * (their keys in the documented order, every value quoted and escaped where the bare form
 * would not read back the same; a reader without a card gets only its description and card
 * lines; an empty description is left out, so the reader gets its default) and, when it
 * sets anything, a [fault] section for `st.faults`. The caller owns the text; it cannot fail. */
std::string encode_state(const State& st);

/* The one look-up of a key: the values of `key` in [reader] section `reader` (0 = the
 * first) of the state file `path`, decoded as the card reads them, in file order (several
 * for a repeated cert) into `*values`, which it overwrites. Returns true, with no values
 * when the reader or the key is absent; false with `*error` set as load_state sets it when
 * the file cannot be read or parsed. */
bool look_up(const std::string& path, size_t reader, std::string_view key,
             std::vector<std::string>* values, std::string* error);

/* Replaces (or, with `keep`, creates only when absent) the file `path` atomically: a
 * temporary file of mode 0600 beside it, fsync, rename. A replaced file keeps its owner
 * and mode where the process may set them; a new one gets `mode`. Returns 0, or an errno
 * value (EEXIST when `keep` and the file exists); no temporary file is left either way. */
int replace_file(const std::string& path, const std::string& data, unsigned mode, bool keep);

/* Removes temporary files of `path` that replace_file of a killed process left behind.
 * Call it holding the lock of lock_state. */
void remove_stale_temporaries(const std::string& path);

/* How long lock_state waits for another process's lock unless told otherwise (the module
 * takes $SIMCARD_LOCK_WAIT_MS), the longest wait it may be told, and what it answers after
 * the wait. */
constexpr int kLockWaitMillis = 3000;
constexpr int kLockWaitMaxMillis = 60000;
constexpr int kLockBusy = -2;

/* Takes an exclusive flock on the state file `path` (on the file that is there once the
 * lock is held, should another process have replaced it meanwhile) and reads it under the
 * lock as load_state does. Returns the locked descriptor, which the caller closes to
 * release the lock, or -1 with `*error` set as load_state sets it; kLockBusy, with `*error`
 * saying so, when another process held the lock for `wait_ms` milliseconds. */
int lock_state(const std::string& path, State* out, std::string* error, Scope scope,
               int wait_ms = kLockWaitMillis);

/* The Fn whose standard name is `name`, or -1. */
int function_index(std::string_view name);

}  // namespace simcard

#endif
