// SPDX-License-Identifier: MIT
// Text helpers of the program's fixed-size buffers: bounded appending, cut UTF-8, checked
// translated formats, paths cut at their last separator.
#include <cstring>

#include "pinman_internal.h"

int bounded_append(char* buffer, size_t size, const char* text) {
    const size_t used = strnlen(buffer, size);
    const size_t add = strlen(text);
    if (used + add >= size)
        return 0;
    memcpy(buffer + used, text, add + 1);
    return 1;
}

void drop_partial_utf8(char* text) {
    size_t len = strlen(text);
    size_t start = len;
    // Back to the first byte of the last character: continuation bytes are 10xxxxxx.
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start == 0)
        return;
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (len - (start - 1) < need)
        text[start - 1] = '\0';
}

const char* checked_format(const char* translated, const char* original) {
    // Conversions of both formats, in order; "%%" counts as none.
    const auto next_conversion = [](const char*& p) -> char {
        while (*p != '\0') {
            if (*p++ != '%')
                continue;
            if (*p == '%') {
                ++p;
                continue;
            }
            return *p != '\0' ? *p++ : '!';
        }
        return '\0';
    };
    const char* t = translated;
    const char* o = original;
    for (;;) {
        const char ct = next_conversion(t);
        const char co = next_conversion(o);
        if (ct != co)
            return original;
        if (co == '\0')
            return translated;
    }
}

int cut_at_last_separator(char* path) {
    for (size_t i = strlen(path); i-- > 0;) {
        if (path[i] == '/' || path[i] == '\\') {
            path[i] = '\0';
            return 1;
        }
    }
    return 0;
}
