// SPDX-License-Identifier: MIT
// The configuration file beside the executable, and the program's own folder.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "cGuards.h"
#include "cModules.h"
#include "gtkzorvpin.h"
#include "pinman_internal.h"

char g_szP11Lib[PINMAN_PATH_SIZE];
int g_showChangePin = 1;
int g_showUnblockPin = 1;
int g_showChangePuk = 1;
int g_checkExpire = -1;
char s_szModulePath[PINMAN_PATH_SIZE];

namespace {

int shown_unless_false(const char* word) {
    return strcmp(word, "false") == 0 ? 0 : 1;
}

}  // namespace

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

int module_path_with_suffix(char* buffer, const char* suffix) {
    memset(buffer, 0, PINMAN_PATH_SIZE);
    const size_t len = GetCurrentModulePath(buffer, PINMAN_PATH_SIZE - 1);
    if (len > PINMAN_PATH_SIZE - 1 || !bounded_append(buffer, PINMAN_PATH_SIZE, suffix)) {
        fprintf(stderr,
                "The program's path (%zu characters) with \"%s\" does not fit in %d bytes; "
                "refused\n",
                len, suffix, PINMAN_PATH_SIZE);
        memset(buffer, 0, PINMAN_PATH_SIZE);
        return 0;
    }
    return 1;
}

void apply_config_line(const char* szLine) {
    char value[PINMAN_PATH_SIZE] = {0};
    int iValue = 0;
    if (sscanf(szLine, "pkcs11=%255s", value) == 1) {
        memcpy(g_szP11Lib, value, strlen(value) + 1);
    } else if (sscanf(szLine, "showpin=%255s", value) == 1) {
        g_showChangePin = shown_unless_false(value);
    } else if (sscanf(szLine, "showunblock=%255s", value) == 1) {
        g_showUnblockPin = shown_unless_false(value);
    } else if (sscanf(szLine, "showpuk=%255s", value) == 1) {
        g_showChangePuk = shown_unless_false(value);
    } else if (sscanf(szLine, "checkexpire=%d", &iValue) == 1) {
        g_checkExpire = iValue;
        fprintf(stderr, "checkExpire: '%d'\n", g_checkExpire);
    }
}

void readConfig(void) {
    char value[PINMAN_PATH_SIZE] = {0};
    char szLine[PINMAN_PATH_SIZE] = {0};
    // A path that does not fit is refused rather than cut into the name of another file.
    if (!module_path_with_suffix(value, ".conf"))
        return;

    libex::FilePtr conf(fopen(value, "rb"));
    fprintf(stderr, "Conf: %s\n", value);
    if (!conf)
        return;
    while (fgets(szLine, PINMAN_PATH_SIZE - 1, conf.get()) != nullptr)
        apply_config_line(szLine);
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

int enter_module_folder(char* szFolder) {
    memset(szFolder, 0, PINMAN_PATH_SIZE);
    const size_t len = GetCurrentModulePath(szFolder, PINMAN_PATH_SIZE - 1);
    if (len == 0)
        return 0;
    if (len > PINMAN_PATH_SIZE - 1) {
        fprintf(stderr,
                "The program's path (%zu characters) does not fit in %d bytes; "
                "its folder is not used\n",
                len, PINMAN_PATH_SIZE);
        return 0;
    }
    if (!cut_at_last_separator(szFolder))
        return 0;
    fprintf(stderr, "CHDIR to: '%s'\n", szFolder);
    if (chdir(szFolder) != 0) {
        // Start-up goes on in the current directory.
    }
    return 1;
}

void init_module_path(void) {
    enter_module_folder(s_szModulePath);
}
