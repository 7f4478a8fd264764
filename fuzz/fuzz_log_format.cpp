// SPDX-License-Identifier: MIT
// Fuzzes the trace log's formatter: any format, with arguments of the kinds its conversions
// read, written to a real log file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "cLog.h"
#include "cLog_internal.h"

namespace {

constexpr int kSlots = 32;
char g_text[] = "text with\ta tab and \x7f";
unsigned char g_bytes[64] = {0, 0x41, 0xff, '%', '\n'};

// Fills the argument slots the way the formatter will read them: an int for d and x, a
// string for s (sometimes none), a pointer and a length for p and b. Returns the length of
// the format that has arguments for all its conversions.
size_t plan_arguments(const std::string& format, const uint8_t* choice, size_t nChoice,
                      uintptr_t* slots) {
    int used = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        if (i + 1 >= format.size())
            break;
        const char c = format[++i];
        const uint8_t pick = nChoice ? choice[(i + used) % nChoice] : 0;
        switch (c) {
            case 'd':
            case 'D':
            case 'x':
            case 'X':
                if (used + 1 > kSlots)
                    return i - 1;
                slots[used++] = static_cast<uintptr_t>(static_cast<int>(pick * 0x01010101u));
                break;
            case 's':
            case 'S':
                if (used + 1 > kSlots)
                    return i - 1;
                slots[used++] = pick % 5 == 0 ? 0 : reinterpret_cast<uintptr_t>(g_text);
                break;
            case 'p':
            case 'P':
            case 'b':
            case 'B':
                if (used + 2 > kSlots)
                    return i - 1;
                slots[used++] = pick % 7 == 0 ? 0 : reinterpret_cast<uintptr_t>(g_bytes);
                // A length within the bytes, or a negative one.
                slots[used++] = static_cast<uintptr_t>(pick % 9 == 0 ? -static_cast<int>(pick)
                                                                     : pick % sizeof g_bytes);
                break;
            default:
                break;
        }
    }
    return format.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir;
    static unsigned runs = 0;
    if (dir.empty()) {
        char tmpl[] = "/tmp/fuzz-log.XXXXXX";
        dir = mkdtemp(tmpl);
        atexit([] { std::filesystem::remove_all(dir); });
    }
    if (runs++ % 5000 == 0) {  // a fresh file now and then keeps the disk free
        if (cLog_filename() != nullptr)
            remove(cLog_filename());
        cLog_restart_for_test(dir.c_str());
    }
    std::string format(reinterpret_cast<const char*>(data), size > 2048 ? 2048 : size);
    format = format.c_str();  // the formatter stops at the first zero byte
    uintptr_t slots[kSlots] = {0};
    format.resize(plan_arguments(format, data, size, slots));
    cLogTracef(format.c_str(), slots[0], slots[1], slots[2], slots[3], slots[4], slots[5], slots[6],
               slots[7], slots[8], slots[9], slots[10], slots[11], slots[12], slots[13], slots[14],
               slots[15], slots[16], slots[17], slots[18], slots[19], slots[20], slots[21],
               slots[22], slots[23], slots[24], slots[25], slots[26], slots[27], slots[28],
               slots[29], slots[30], slots[31]);
    return 0;
}
