// SPDX-License-Identifier: MIT
// Loading shared libraries at run time: a thin layer over the dynamic loader.
#ifndef LIBEX_CDYNLIB_H
#define LIBEX_CDYNLIB_H

/* An untyped handle of a loaded library; NULL means none. */
typedef void* DYN_HANDLE;

#ifdef __cplusplus
extern "C" {
#endif

/* Loads `szLib` with every symbol bound at once. A name with a '/' is a path,
 * a bare name is looked up along the loader's search path. The caller owns the
 * handle until dyn_FreeLibrary. Returns NULL when the library cannot be loaded. */
DYN_HANDLE dyn_LoadLibrary(const char* szLib);

/* The address of `szAddress` in `pLib`, or NULL when there is none. */
void* dyn_GetProcAddress(DYN_HANDLE pLib, const char* szAddress);

/* Releases the caller's handle; always returns 1. */
int dyn_FreeLibrary(DYN_HANDLE pLib);

/* Not available on this platform: always NULL. */
DYN_HANDLE dyn_GetModuleHandle(const char* szLib);

#ifdef __cplusplus
}
#endif

#endif
