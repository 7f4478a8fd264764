// SPDX-License-Identifier: MIT
// Steps of Pin Manager that its own parts and its tests share.
#ifndef PINMAN_INTERNAL_H
#define PINMAN_INTERNAL_H

#include <cstddef>
#include <ctime>
#include <openssl/asn1.h>

#include "gtkzorvpin.h"

/* The answers of one step of an operation, by result code (defined with the operations). */
struct ResultColumn;

/* One notebook page: its operation, its three fields (the first one gets the focus), the
 * text for a confirmation that differs, how it logs in and which answers it gives. */
struct PageSpec {
    int (*operation)(GladeXML* builder);
    const char* fields[3];
    const char* mismatch;
    CK_USER_TYPE userType;
    const ResultColumn* loginColumn;
    const ResultColumn* changeColumn;
    bool initPin;  // C_InitPIN with the new PIN, else C_SetPIN from the first to the second
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

/* Fills the zeroed `szFolder` (PINMAN_PATH_SIZE bytes) with the module directory, writes
 * "CHDIR to" and makes it the working directory. Returns 0, leaving the working directory
 * as it was, when the module path is not found, does not fit or has no separator. */
int enter_module_folder(char* szFolder);

/* Fills a zeroed path buffer with the module path followed by `suffix`. Returns 0, with a
 * line on standard error and the buffer empty, when the result would not fit. */
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
 * zero-filled first) as valid UTF-8: valid characters as they are, every other byte as the
 * four characters "\\xHH". Stops before a character or escape that would not fit with the
 * terminator. Returns the length written. */
size_t copy_shown_text(char* szText, size_t size, const char* bytes, size_t len);

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
