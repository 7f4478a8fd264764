// SPDX-License-Identifier: MIT
// The C++ tests' one support without GTK: temporary folders, files, simulated cards, modules.
#ifndef TESTS_SUPPORT_HARNESS_H
#define TESTS_SUPPORT_HARNESS_H

#include <p11-kit/pkcs11.h>

#include <filesystem>
#include <string>
#include <vector>

#include "state.h"

namespace support {

/* A new empty folder below $TMPDIR or /tmp; the caller removes it with remove_tree. */
std::string make_temp_dir();
/* Removes `dir` and everything in it. */
void remove_tree(const std::string& dir);
/* The whole file, or "" when it cannot be read. */
std::string read_file(const std::string& path);
/* Replaces the file's content; false when it cannot be written. */
bool write_file(const std::string& path, const std::string& data);
bool copy_file(const std::string& from, const std::string& to);
/* Names of the entries of `dir`, "." and ".." left out. */
std::vector<std::string> list_dir(const std::string& dir);

/* The variables of the lines "export NAME='VALUE'" that a fixture script wrote into the
 * file `path`, in order; any other line fails the test and is left out. */
std::vector<std::pair<std::string, std::string>> read_exports(const std::string& path);

/* Sets an environment variable for the lifetime of the object (null value: unsets it). */
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_;
};

/* A folder removed with everything in it at the end. */
class TempDir {
public:
    TempDir() : path_(make_temp_dir()) {}
    ~TempDir() { remove_tree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

/* A PKCS#11 module loaded with dlopen; every call goes through its function list. */
class Module {
public:
    ~Module() { unload(); }
    /* Loads `path` and gets the function list. False, with the reason in *why, on failure. */
    bool load(const std::string& path, std::string* why);
    /* dlclose; the list pointer becomes null. */
    void unload();
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_RV list_rv = CKR_OK;  // what C_GetFunctionList answered

private:
    void* lib_ = nullptr;
};

/* A reader of a simulated card as the tests start from: the demo card's values (reader
 * "Simulated Reader 0", label "Demo Card", PIN 1234, PUK 12345678, full tries), no
 * certificates. Tests change the fields of simcard::Reader they are about. */
struct CardReader : simcard::Reader {
    CardReader();
};

/* A reader without description (the card's default "Simulated Reader N" applies): a card
 * labelled `label` (serial "SN-" + label) holding `certs` (paths as the file gives them)
 * when `present`, an empty reader otherwise. */
CardReader labelled_reader(const std::string& label, bool present,
                           const std::vector<std::string>& certs = {},
                           const std::string& pin = "1234", const std::string& puk = "12345678");

/* The text of a state file with these readers and, when not empty, the [fault] settings
 * `faults` ("key = value" lines, read as the card reads its [fault] section), written by
 * the card's own writer of the format. A fault line the card cannot read fails the test. */
std::string state_text(const std::vector<CardReader>& readers, const std::string& faults = "");

/* The value of `key` in reader `reader` of the state file `path` as the card reads it
 * (the card's own look-up; the first of a repeated key), or "<missing KEY>". */
std::string card_value(const std::string& path, const std::string& key, size_t reader = 0);

/* PIN-typed helpers that pass the bytes of a std::string. */
CK_RV log_in(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, CK_USER_TYPE user,
             const std::string& pin);
CK_RV set_pin(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, const std::string& old_pin,
              const std::string& new_pin);
CK_RV init_pin(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, const std::string& pin);

/* The slots (with a card when `present`), or an empty list after a failed query. */
std::vector<CK_SLOT_ID> slot_list(CK_FUNCTION_LIST_PTR f, bool present);
/* The text of a blank-padded PKCS#11 field without its padding. */
std::string unpad(const unsigned char* field, size_t width);
/* True when the field holds no zero byte (PKCS#11 text fields are blank-padded). */
bool blank_padded(const unsigned char* field, size_t width);

/* Handles of the objects matching `tmpl`, all of them, fetched one by one. */
std::vector<CK_OBJECT_HANDLE> find_objects(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h,
                                           std::vector<CK_ATTRIBUTE> tmpl);
/* The value of one attribute after a length query, or "" with *rv set on failure. */
std::string attribute_value(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o,
                            CK_ATTRIBUTE_TYPE type, CK_RV* rv = nullptr);

}  // namespace support

#endif
