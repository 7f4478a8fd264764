// SPDX-License-Identifier: MIT
// Steps of Pin Manager that its own parts and its tests share.
#ifndef PINMAN_INTERNAL_H
#define PINMAN_INTERNAL_H

#include <cstddef>
#include <ctime>
#include <functional>
#include <openssl/asn1.h>

#include "gtkzorvpin.h"

/* The card state as it is now (card.cpp owns it): the loaded module, its function list, the
 * current session (0 for none) and the slot of the card in use. */
struct CardState {
    DYN_HANDLE hLib;
    CK_FUNCTION_LIST_PTR pFList;
    CK_SESSION_HANDLE s_hSession;
    CK_SLOT_ID s_slotId;
};
CardState card_state(void);

/* Runs `call` with the card state on the card thread and returns its result: every call into
 * the module goes through here, one at a time. Meanwhile the main loop keeps running, so the
 * window redraws and answers the accessibility bus; the code after the call runs as it would
 * after a plain call. CKR_CRYPTOKI_NOT_INITIALIZED, without calling, when no function list is
 * there. */
CK_RV card_call(const std::function<CK_RV(const CardState&)>& call);

/* Closes the current session on the card (its result is not examined) and forgets it. */
void close_card_session(void);

/* Makes `pList` the function list of a module built into the program, with no session, as if
 * InitP11 had loaded it (the fuzzers' module); its calls run at once, without the card
 * thread. FinalizeP11 forgets it. */
void use_built_in_module(CK_FUNCTION_LIST_PTR pList);

/* The card thread (cardthread.cpp). run_on_card_thread runs `call` there, started at the first
 * call, and serves the main loop until it returns; card_call is its one user in the program.
 * Without a thread to be had it runs the call itself. stop_card_thread ends the thread and
 * waits for it; the next call starts a new one. */
CK_RV run_on_card_thread(const std::function<CK_RV()>& call);
void stop_card_thread(void);

/* Ends the process at once with `status` when a card call is outstanding (the module is
 * then not called again, nor unloaded); otherwise returns. For Cancel and the window's
 * close, which stay active while the card works. */
void leave_if_card_busy(int status);

/* While it lives, a handler of the dialog of `builder` works on the card: one operation at a
 * time (dialog_at_work says so to the next handler), and a call that takes longer than a
 * moment makes the fields, the tabs, OK and Info insensitive and shows the busy cursor, then
 * puts them back with the focus where it was. `builder` may be NULL: no look then. */
struct DialogAtWork {
    explicit DialogAtWork(GladeXML* builder);
    ~DialogAtWork();
    DialogAtWork(const DialogAtWork&) = delete;
    DialogAtWork& operator=(const DialogAtWork&) = delete;
};
int dialog_at_work(void);

/* The widget tree a handler was given as user data; NULL when it was given something else
 * (a file may connect a handler with another widget as its data). */
GladeXML* builder_of(gpointer user_data);

/* The answers of one step of an operation, by result code (defined with the operations). */
struct ResultColumn;

/* One notebook page: its operation, its three fields (the first one gets the focus), the
 * text for a confirmation that differs, how it logs in and which answers it gives. */
struct PageSpec {
    int (*operation)(GladeXML* builder);
    const char* fields[3];
    const char* mismatch;
    CK_USER_TYPE user_type;
    const ResultColumn* login_column;
    const ResultColumn* change_column;
    bool init_pin;  // C_InitPIN with the new PIN, else C_SetPIN from the first to the second
};

/* The pages in the interface file's notebook order. */
enum { kChangePinPage = 0, kUnblockPinPage = 1, kChangePukPage = 2, kPageCount = 3 };
extern const PageSpec kPageTable[kPageCount];

/* The order in which start-up masks and wires the pages' fields and a success empties
 * them: the Unblock PIN page's first. */
constexpr int kFieldOrder[kPageCount] = {kUnblockPinPage, kChangePinPage, kChangePukPage};

/* Checks that the tree holds every widget the program uses, of its kind; 0, with a line
 * on standard error naming the first one missing, when it does not. */
int has_program_widgets(GladeXML* builder);

/* Makes the process non-dumpable and its core size limit 0, so that no core file and no
 * other process of the same user can read the PIN texts the fields hold. */
void protect_secrets(void);

/* Writes "CHDIR to" with the module directory and makes it the working directory. Returns 0,
 * leaving the working directory as it was, when the module path is not found, does not fit
 * or has no separator. The module path is looked up once, at the first of these calls. */
int enter_module_folder(void);

/* Fills a path buffer (PINMAN_PATH_SIZE bytes, zero-filled first) with the module path
 * followed by `suffix`. Returns 0, with a line on standard error and the buffer empty, when
 * the result would not fit. */
int module_path_with_suffix(char* buffer, const char* suffix);

/* Whether the program may use the file `path`: a regular file that only root or the user
 * may have written, in folders nobody else may write (cCheckTrusted). With `pFd` the file is
 * opened read-only too, its descriptor (the caller closes it) in `*pFd`, -1 when not used.
 * Returns 1 when it may; 0 when it is missing, or refused after one line "Not using" on
 * standard error naming the file and why. */
int trusted_file(const char* path, int* pFd);

/* Reads the number of a line "checkexpire=N" as "%d" would, clamped to the int range.
 * Returns 1 with the number in `*piValue`, 0 when the line yields none. */
int parse_check_expire(const char* szLine, int* piValue);

/* Applies one line of the configuration file to the settings. */
void apply_config_line(const char* szLine);

/* Text helpers (texts.cpp). */

/* Appends `text` to the zero-terminated `buffer` of `size` bytes. Returns 0 and leaves
 * the buffer unchanged when the result would not fit. */
int bounded_append(char* buffer, size_t size, const char* text);

/* Ends a text that was cut to fit its buffer before a character whose bytes did not all
 * fit, so that a cut translation stays valid UTF-8. */
void drop_partial_utf8(char* text);

/* Copies the `len` bytes at `bytes`, up to the first zero byte, into `szText` (`size` bytes,
 * zero-filled first) as one line of valid UTF-8 that shows what it says: valid characters as
 * they are, but control characters (C0 with newline and tab, DEL, C1, the bidirectional
 * controls) as their bytes each written "\\xHH", and every byte that is no UTF-8 likewise.
 * Stops before a character or its escapes that would not fit with the terminator. Returns
 * the length written. */
size_t copy_shown_text(char* szText, size_t size, const char* bytes, size_t len);

/* The same for a text of the program's own (a message that holds a path, say), whose line
 * breaks are meant: only the bytes that are no UTF-8 are escaped. */
size_t copy_valid_utf8(char* szText, size_t size, const char* bytes, size_t len);

/* Returns `translated` when its printf conversions are the same, in the same order, as
 * those of `original`; otherwise `original`. */
const char* checked_format(const char* translated, const char* original);

/* Ends `path` at its last '/' or '\\'. Returns 0, leaving it whole, when it has none. */
int cut_at_last_separator(char* path);

/* What the start-up check says of a certificate. */
enum { kCertFine = 0, kCertNotYetValid, kCertExpired, kCertAboutToExpire };

/* Classifies a certificate's validity, reading `clock` for each comparison. A UTCTime the
 * comparison cannot read counts as earlier than any time (so a notAfter reads as expired);
 * an unreadable GeneralizedTime decides nothing. */
int classify_certificate(const ASN1_TIME* notBefore, const ASN1_TIME* notAfter, int window,
                         time_t (*clock)(time_t*));

#endif
