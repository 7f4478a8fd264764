// SPDX-License-Identifier: MIT
// Internals of the trace log, exposed to tests, tools and fuzzers only. The shipped
// program never calls these and always logs to /log.
#ifndef LIBEX_CLOG_INTERNAL_H
#define LIBEX_CLOG_INTERNAL_H

#include "cDes.h"
#include "cLog.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets the process's log file and starts over as if nothing had been logged: the
 * next opening initialises again, with the log directory `dir` (NULL: "/log").
 * Must not be called while a record is open. */
void cLog_restart_for_test(const char* dir);

/* While `fail` is non-zero, creating the log lock fails as if the allocation had failed:
 * each cLogOpen then takes no lock and drops its record. */
void cLog_fail_lock_alloc_for_test(int fail);

/* The name of the current log file, or NULL before the first initialisation. */
const char* cLog_filename(void);

/* The built-in cipher parameters, for readers of the log. */
void cLog_cipher_keys(uint8 key1[8], uint8 key2[8], uint8 key3[8], uint8 iv[8]);

/* The fixed 16-byte header every new file begins with. */
void cLog_header(uint8 header[16]);

#ifdef __cplusplus
}
#endif

#endif
