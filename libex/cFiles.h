// SPDX-License-Identifier: MIT
// Checks on the files the program and its library open: whose they are, who else may have
// written them, and whether they are regular files at all.
#ifndef LIBEX_CFILES_H
#define LIBEX_CFILES_H

#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Flags of every opening of a file of the user's own (cOpenOwnAppend): a symbolic link at
 * the name is refused, the descriptor stays out of child programs, and a FIFO planted at the
 * name does not block the opening (O_NONBLOCK has no effect on a regular file). */
#define C_OWN_FILE_FLAGS (O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)

/* 1 when `st` describes a regular file owned by the effective user with one name (no hard
 * link planted elsewhere), else 0. */
int cIsOwnFile(const struct stat* st);

/* Opens `path` for appending (C_OWN_FILE_FLAGS), creating it with mode 0600 whatever the
 * umask. Returns the descriptor, with the file's status in `*st`, when the opened file is
 * one of the user's own (cIsOwnFile, judged on the descriptor, so the name cannot be swapped
 * after the check); -1 otherwise, with nothing left open. The caller closes it. */
int cOpenOwnAppend(const char* path, struct stat* st);

/* What cCheckTrusted found. */
enum { C_FILE_REFUSED = -1, C_FILE_MISSING = 0, C_FILE_TRUSTED = 1 };

/* Whether the file `path` names may be read as the program's own: after following symbolic
 * links it must be a regular file owned by root or the effective user and writable by
 * neither its group nor others, and the folder holding it, like the folder of every link on
 * the way, must be owned by root or the effective user and writable by nobody else unless
 * sticky. C_FILE_MISSING when nothing is at the name (or a link leads nowhere);
 * C_FILE_REFUSED with the reason, one line without newline, in `szWhy` (`whySize` bytes,
 * cut to fit); C_FILE_TRUSTED with the file's status in `*st` when `st` is not NULL. */
int cCheckTrusted(const char* path, struct stat* st, char* szWhy, size_t whySize);

/* cCheckTrusted, then opens the file read-only without blocking (a FIFO put at the name
 * meanwhile cannot stop the caller). Returns the descriptor (close-on-exec), which the
 * caller closes, only when the check trusts the file and the opened file is the one checked;
 * else -1, with the check's outcome in `*pResult` and its reason in `szWhy`. */
int cOpenTrusted(const char* path, int* pResult, char* szWhy, size_t whySize);

#ifdef __cplusplus
}
#endif

#endif
