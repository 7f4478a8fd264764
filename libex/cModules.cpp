// SPDX-License-Identifier: MIT
// Finding the file that holds a given address of the running process (/proc/self/maps).
#include "cModules.h"
#include "cModules_internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "cGuards.h"
#include "cLog.h"

using libex::FilePtr;
using libex::MallocPtr;

namespace {

constexpr size_t kLineSize = 5000;
constexpr std::string_view kDeleted = " (deleted)";

char* br_locate(const void* symbol) {
    if (symbol == nullptr) {
        fprintf(stderr, "** BinReloc (%s): assertion %s failed\n", "br_locate", "symbol != NULL");
        return nullptr;
    }
    return br_locate_in(symbol, "/proc/self/maps");
}

}  // namespace

const char* br_match_maps_line(const char* line, const void* symbol) {
    if (strstr(line, " r-xp ") == nullptr)
        return nullptr;
    const char* path = strchr(line, '/');
    if (path == nullptr)
        return nullptr;

    void* start = nullptr;
    void* end = nullptr;
    if (sscanf(line, "%p-%p ", &start, &end) < 2)
        return nullptr;
    const auto where = reinterpret_cast<uintptr_t>(symbol);
    if (reinterpret_cast<uintptr_t>(start) > where || where >= reinterpret_cast<uintptr_t>(end)) {
        return nullptr;
    }
    return path;
}

void br_tidy_path(char* path) {
    char* newline = strrchr(path, '\n');
    if (newline != nullptr)
        *newline = '\0';
    const size_t len = strlen(path);
    if (len > kDeleted.size() && std::string_view(path + len - kDeleted.size()) == kDeleted) {
        path[len - kDeleted.size()] = '\0';
    }
}

char* br_locate_in(const void* symbol, const char* mapsFile) {
    FilePtr maps(fopen(mapsFile, "r"));
    if (!maps) {
        cLogTracef("**br_locate: unable to open /proc/self/maps\n");
        return nullptr;
    }
    MallocPtr<char> line(static_cast<char*>(calloc(kLineSize, 1)));
    if (!line)
        return nullptr;

    while (fgets(line.get(), kLineSize, maps.get()) != nullptr) {
        const char* found = br_match_maps_line(line.get(), symbol);
        if (found == nullptr)
            continue;
        cLogTracef("**br_locate: line is good: '%s'\n", line.get());
        char* path = line.get() + (found - line.get());
        br_tidy_path(path);
        maps.reset();
        // The formatter's %X reads an int: hand it the address's low 32 bits as one.
        cLogTracef("**br_locate: symbol %X module path: '%s'\n",
                   static_cast<int>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(symbol))),
                   path);
        return strdup(path);
    }
    return nullptr;
}

size_t GetModulePathFromAddress(const void* pVoid, char* szModulePath, size_t maxChars) {
    MallocPtr<char> path(br_locate(pVoid));
    if (szModulePath != nullptr)
        memset(szModulePath, 0, maxChars);
    if (!path)
        return 0;
    const size_t len = strlen(path.get());
    if (szModulePath != nullptr && len <= maxChars)
        memcpy(szModulePath, path.get(), len + 1);
    return len;
}

size_t GetCurrentModulePath(char* szModulePath, size_t maxChars) {
    // The toolchain keeps read-only data in a mapping of its own that is not executable,
    // so the address handed to the scan is one of this library's functions: it always
    // lies in the " r-xp " mapping of the file that holds the library.
    return GetModulePathFromAddress(reinterpret_cast<const void*>(&GetCurrentModulePath),
                                    szModulePath, maxChars);
}

size_t GetCurrentProcessPath(char* szModulePath, size_t maxChars) {
    return static_cast<size_t>(readlink("/proc/self/exe", szModulePath, maxChars - 1));
}
