// SPDX-License-Identifier: MIT
// Fuzzes the configuration file's line patterns: any line, the settings stay sound.
#include <cstdint>

#include "silence.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StderrSilenced quiet;
    // readConfig hands over at most 1022 characters at a time.
    std::string line(reinterpret_cast<const char*>(data), size < 1022 ? size : 1022);
    memset(g_szP11Lib, 0, sizeof g_szP11Lib);
    g_showChangePin = g_showUnblockPin = g_showChangePuk = 1;
    apply_config_line(line.c_str());
    if (strnlen(g_szP11Lib, sizeof g_szP11Lib) > 255)
        abort();
    if ((g_showChangePin | g_showUnblockPin | g_showChangePuk) & ~1)
        abort();
    return 0;
}
