// SPDX-License-Identifier: MIT
// Locating the file that holds the running code, through /proc/self/maps.
#ifndef LIBEX_CMODULES_H
#define LIBEX_CMODULES_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Finds the file mapped (" r-xp ") at `pVoid`. Returns the length of its path, 0 when
 * none is found. When `szModulePath` is not NULL its first `maxChars` bytes are zeroed
 * and the path is copied, with its terminator, only if its length is at most `maxChars`
 * (the buffer holds maxChars + 1 bytes). With NULL the call only measures. */
size_t GetModulePathFromAddress(const void* pVoid, char* szModulePath, size_t maxChars);

/* The path of the file holding this library's code: the module path. */
size_t GetCurrentModulePath(char* szModulePath, size_t maxChars);

/* readlink("/proc/self/exe") into at most maxChars - 1 bytes, no terminator written.
 * Returns the byte count, or (size_t)-1 when the link cannot be read. */
size_t GetCurrentProcessPath(char* szModulePath, size_t maxChars);

#ifdef __cplusplus
}
#endif

#endif
