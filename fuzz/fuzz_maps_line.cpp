// SPDX-License-Identifier: MIT
// Fuzzes the parser of /proc/self/maps lines: an address, then any line of text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cModules_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(uintptr_t))
        return 0;
    uintptr_t address;
    memcpy(&address, data, sizeof address);
    std::string line(reinterpret_cast<const char*>(data + sizeof address), size - sizeof address);
    const char* path = br_match_maps_line(line.c_str(), reinterpret_cast<const void*>(address));
    if (path == nullptr)
        return 0;
    // The path lies inside the line and starts with '/'.
    if (path < line.c_str() || path >= line.c_str() + line.size() || *path != '/')
        abort();
    std::string copy(path);
    br_tidy_path(copy.data());
    if (strlen(copy.c_str()) > strlen(path))
        abort();
    return 0;
}
