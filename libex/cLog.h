// SPDX-License-Identifier: MIT
// The trace log: records appended to a triple-DES CFB-64 encrypted file in /log.
#ifndef LIBEX_CLOG_H
#define LIBEX_CLOG_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Processor-clock reading at initialisation: the origin of the record time stamps. */
extern clock_t g_start_time;

/* Sets the logging switch (on by default); returns its previous value. Takes effect at
 * the next cLogOpen. */
int cEnableLog(int enabled);

/* 1 when a record could be written now (creating the file if needed), else 0. */
int cCanLog(void);

/* Opens a record bracket: takes the lock and opens the file for appending with the
 * cipher state resumed from the file's tail. Does nothing while logging is off. Every
 * cLogOpen must be matched by one cLogClose on the same thread. The log is written only
 * into a regular file of one name owned by the effective user, reached without a symbolic
 * link (a new one is created with mode 0600); anything else at the name drops the record
 * silently, as a missing directory does. */
void cLogOpen(void);

/* Closes the file if open and releases the lock the matching cLogOpen took. */
void cLogClose(void);

/* Encrypts and writes `string_len` bytes (-1: up to the terminator; 0 or any other
 * negative value: nothing). Writes nothing while no file is open. */
void cLogPutmem(const void* string, int string_len);
void cLogChar(char c);

/* One record: "[time] ", the text, "\n". */
void cLogTrace(const char* string);

/* One record with the log's own small formatter: %% %d %x %s %p %b (and upper case).
 * %p and %b take a pointer and an int length. */
void cLogTracef(const char* format, ...);

/* Appends `string` unencrypted to the log file, with the same checks as cLogOpen; takes
 * no lock. */
void cLogTrace_clean(const char* string);

/* Decrypts a whole log file image in one pass (for readers of the log, such as clogcat).
 * `data` holds `size` bytes of the file from offset 0. A file that begins with the log's
 * 16-byte header is decrypted after it, any other from offset 0, each starting from the
 * initial vector; the plaintext goes to `out` (room for `size` bytes, owned by the caller;
 * may be null when there is none). Returns the plaintext length, or -1 for an empty image,
 * which holds no log at all. */
long cLog_decrypt_image(const unsigned char* data, long size, unsigned char* out);

void init_clog_mutex(void);
void close_clog_mutex(void);
void lock_clog_mutex(void);
void unlock_clog_mutex(void);

#ifdef __cplusplus
}
#endif

#endif
