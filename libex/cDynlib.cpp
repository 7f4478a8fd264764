// SPDX-License-Identifier: MIT
// Loading shared libraries at run time through the system's dynamic loader.
#include "cDynlib.h"

#include <dlfcn.h>

DYN_HANDLE dyn_LoadLibrary(const char* szLib) {
    // RTLD_NOW: a library with an unresolved symbol fails here, not at its first call.
    return dlopen(szLib, RTLD_NOW);
}

void* dyn_GetProcAddress(DYN_HANDLE pLib, const char* szAddress) {
    return dlsym(pLib, szAddress);
}

int dyn_FreeLibrary(DYN_HANDLE pLib) {
    dlclose(pLib);
    return 1;
}

DYN_HANDLE dyn_GetModuleHandle(const char* /*szLib*/) {
    return nullptr;
}
