// SPDX-License-Identifier: MIT
// The configuration file beside the executable, and the program's own folder.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cFiles.h"
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

// The module path, looked up once for everything found beside the program: its length (0 when
// not found; more than fits when the path does not fit, the text then empty) and its text.
struct ModuleFile {
    bool looked_up;
    size_t length;
    char szPath[PINMAN_PATH_SIZE];
};

const ModuleFile& module_file(void) {
    static ModuleFile file;
    if (!file.looked_up) {
        file.length = GetCurrentModulePath(file.szPath, PINMAN_PATH_SIZE - 1);
        file.looked_up = true;
    }
    return file;
}

// Fills `szFolder` (zero-filled first) with the module directory. Returns 1; 0 when the module
// path is not found or does not fit (the folder then empty, with a line on standard error) or
// has no separator (the folder then the whole path).
int module_folder(char* szFolder) {
    memset(szFolder, 0, PINMAN_PATH_SIZE);
    const ModuleFile& file = module_file();
    if (file.length == 0)
        return 0;
    if (file.length > PINMAN_PATH_SIZE - 1) {
        fprintf(stderr,
                "The program's path (%zu characters) does not fit in %d bytes; "
                "its folder is not used\n",
                file.length, PINMAN_PATH_SIZE);
        return 0;
    }
    memcpy(szFolder, file.szPath, file.length);
    return cut_at_last_separator(szFolder);
}

void change_to(const char* szFolder) {
    fprintf(stderr, "CHDIR to: '%s'\n", szFolder);
    if (chdir(szFolder) != 0) {
        // Start-up goes on in the current directory.
    }
}

}  // namespace

int module_path_with_suffix(char* buffer, const char* suffix) {
    memset(buffer, 0, PINMAN_PATH_SIZE);
    const ModuleFile& file = module_file();
    if (file.length > PINMAN_PATH_SIZE - 1 || file.length + strlen(suffix) >= PINMAN_PATH_SIZE) {
        fprintf(stderr,
                "The program's path (%zu characters) with \"%s\" does not fit in %d bytes; "
                "refused\n",
                file.length, suffix, PINMAN_PATH_SIZE);
        return 0;
    }
    memcpy(buffer, file.szPath, file.length);
    memcpy(buffer + file.length, suffix, strlen(suffix) + 1);
    return 1;
}

int trusted_file(const char* path, int* pFd) {
    char szWhy[PINMAN_PATH_SIZE] = {0};
    int result = C_FILE_MISSING;
    if (pFd != nullptr) {
        *pFd = cOpenTrusted(path, &result, szWhy, sizeof szWhy);
    } else {
        result = cCheckTrusted(path, nullptr, szWhy, sizeof szWhy);
    }
    if (result == C_FILE_REFUSED)
        fprintf(stderr, "Not using '%s': %s\n", path, szWhy);
    return result == C_FILE_TRUSTED ? 1 : 0;
}

int parse_check_expire(const char* szLine, int* piValue) {
    constexpr char kKey[] = "checkexpire=";
    if (strncmp(szLine, kKey, sizeof kKey - 1) != 0)
        return 0;
    // What "%d" reads (blanks, a sign, digits), without its overflow: clamped to an int.
    const char* start = szLine + sizeof kKey - 1;
    char* end = nullptr;
    const long long value = strtoll(start, &end, 10);
    if (end == start)
        return 0;
    *piValue = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
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
    } else if (parse_check_expire(szLine, &iValue)) {
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

    // Read only when it is a regular file that nobody but root and the user may have
    // written: anything else counts as missing, and a FIFO cannot stop start-up.
    int fd = -1;
    trusted_file(value, &fd);
    fprintf(stderr, "Conf: %s\n", value);
    if (fd < 0)
        return;
    libex::FilePtr conf(fdopen(fd, "rb"));
    if (!conf) {
        close(fd);
        return;
    }
    while (fgets(szLine, PINMAN_PATH_SIZE - 1, conf.get()) != nullptr)
        apply_config_line(szLine);
}

int enter_module_folder(void) {
    char szFolder[PINMAN_PATH_SIZE];
    if (!module_folder(szFolder))
        return 0;
    change_to(szFolder);
    return 1;
}

void init_module_path(void) {
    if (module_folder(s_szModulePath))
        change_to(s_szModulePath);
}
