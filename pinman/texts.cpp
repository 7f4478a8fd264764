// SPDX-License-Identifier: MIT
// Text helpers of the program's fixed-size buffers: bounded appending, valid UTF-8 on the
// way to GTK whatever bytes a card or a certificate hands over, cut UTF-8, checked translated
// formats, paths cut at their last separator.
#include <cstring>

#include "pinman_internal.h"

namespace {

// The length of the valid UTF-8 character (RFC 3629: no overlong form, no surrogate, nothing
// beyond U+10FFFF) that starts `len` bytes at `p`; 0 when none starts there.
size_t utf8_character_length(const unsigned char* p, size_t len) {
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    size_t need = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (len < need || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < need; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    return need;
}

// Whether the valid character of `n` bytes at `p` is one a card must not put into a shown
// line: a C0 control (newline and tab included), DEL, a C1 control, or a bidirectional
// control (Unicode's Bidi_Control: U+061C, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069),
// which would start a line of its own, act on a terminal or reorder what the line says.
bool is_control_character(const unsigned char* p, size_t n) {
    switch (n) {
        case 1:
            return p[0] < 0x20 || p[0] == 0x7F;
        case 2:
            return (p[0] == 0xC2 && p[1] < 0xA0) || (p[0] == 0xD8 && p[1] == 0x9C);
        case 3:
            return p[0] == 0xE2 && ((p[1] == 0x80 && (p[2] == 0x8E || p[2] == 0x8F ||
                                                      (p[2] >= 0xAA && p[2] <= 0xAE))) ||
                                    (p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9));
        default:
            return false;
    }
}

// Copies as copy_shown_text does; with `controls` false control characters stay as they are.
size_t copy_escaped(char* szText, size_t size, const char* bytes, size_t len, bool controls) {
    static constexpr char kHex[] = "0123456789abcdef";
    memset(szText, 0, size);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t used = 0;
    for (size_t i = 0; i < len && p[i] != 0;) {
        const size_t n = utf8_character_length(p + i, len - i);
        // An invalid byte is escaped alone, a control character with all its bytes.
        const size_t bytes = n > 0 ? n : 1;
        const bool escape = n == 0 || (controls && is_control_character(p + i, n));
        const size_t width = escape ? 4 * bytes : bytes;
        if (used + width >= size)
            break;
        for (size_t k = 0; k < bytes; ++k) {
            const unsigned char b = p[i + k];
            if (escape) {
                const char escaped[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 0x0F]};
                memcpy(szText + used, escaped, sizeof escaped);
                used += sizeof escaped;
            } else {
                szText[used++] = static_cast<char>(b);
            }
        }
        i += bytes;
    }
    return used;
}

}  // namespace

size_t copy_shown_text(char* szText, size_t size, const char* bytes, size_t len) {
    return copy_escaped(szText, size, bytes, len, true);
}

size_t copy_valid_utf8(char* szText, size_t size, const char* bytes, size_t len) {
    return copy_escaped(szText, size, bytes, len, false);
}

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
