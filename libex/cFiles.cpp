// SPDX-License-Identifier: MIT
// Checks on the files the program and its library open: ownership, who else may write them
// or their folders, and the kind of file.
#include "cFiles.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr mode_t kNewFileMode = 0600;  // a new file of the user's own is theirs alone
constexpr int kMaxLinks = 40;          // as the kernel's limit on links followed
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

bool is_trusted_owner(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

// Writes the reason of a refusal; the text is cut to fit.
__attribute__((format(printf, 3, 4))) int refuse(char* szWhy, size_t whySize, const char* format,
                                                 ...) {
    if (szWhy != nullptr && whySize > 0) {
        va_list ap;
        va_start(ap, format);
        vsnprintf(szWhy, whySize, format, ap);
        va_end(ap);
    }
    return C_FILE_REFUSED;
}

// Copies the folder part of `path` into `szFolder` (PATH_MAX bytes): "." for a bare name,
// "/" for a name directly in the root.
void folder_of(const char* path, char* szFolder) {
    memset(szFolder, 0, PATH_MAX);
    const char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        szFolder[0] = '.';
    } else if (slash == path) {
        szFolder[0] = '/';
    } else {
        memcpy(szFolder, path, static_cast<size_t>(slash - path));
    }
}

// Checks the folder that holds the entry `path`: whoever may write it decides what the name
// holds.
int check_folder(const char* path, char* szWhy, size_t whySize) {
    char szFolder[PATH_MAX];
    folder_of(path, szFolder);
    struct stat st;
    if (stat(szFolder, &st) != 0) {
        return refuse(szWhy, whySize, "its folder '%s' cannot be examined: %s", szFolder,
                      strerror(errno));
    }
    if (!is_trusted_owner(st.st_uid)) {
        return refuse(szWhy, whySize,
                      "its folder '%s' belongs to user %u, neither root nor the user running "
                      "the program",
                      szFolder, static_cast<unsigned>(st.st_uid));
    }
    if ((st.st_mode & kWritableByOthers) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return refuse(szWhy, whySize, "its folder '%s' is writable by others and not sticky",
                      szFolder);
    }
    return C_FILE_TRUSTED;
}

// Replaces the link `szPath` (PATH_MAX bytes) by what it points to, taken from the link's
// folder when relative. 0 when the link cannot be read or the result does not fit.
int follow_link(char* szPath) {
    char szTarget[PATH_MAX] = {0};
    const ssize_t n = readlink(szPath, szTarget, sizeof szTarget - 1);
    if (n <= 0) {
        return 0;
    }
    char szNext[PATH_MAX] = {0};
    if (szTarget[0] == '/') {
        memcpy(szNext, szTarget, static_cast<size_t>(n));
    } else {
        char szFolder[PATH_MAX];
        folder_of(szPath, szFolder);
        const int len = snprintf(szNext, sizeof szNext, "%s/%s", szFolder, szTarget);
        if (len < 0 || len >= static_cast<int>(sizeof szNext)) {
            return 0;
        }
    }
    memcpy(szPath, szNext, sizeof szNext);
    return 1;
}

}  // namespace

int cIsOwnFile(const struct stat* st) {
    return S_ISREG(st->st_mode) && st->st_uid == geteuid() && st->st_nlink == 1 ? 1 : 0;
}

int cOpenOwnAppend(const char* path, struct stat* st) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | C_OWN_FILE_FLAGS, kNewFileMode);
    if (fd < 0) {
        return -1;
    }
    // A new file is made 0600 whatever the umask; an existing one of ours keeps its mode.
    if (fstat(fd, st) != 0 || !cIsOwnFile(st)) {
        close(fd);
        return -1;
    }
    return fd;
}

int cCheckTrusted(const char* path, struct stat* st, char* szWhy, size_t whySize) {
    if (szWhy != nullptr && whySize > 0) {
        szWhy[0] = '\0';
    }
    char szPath[PATH_MAX] = {0};
    if (path == nullptr || strlen(path) >= sizeof szPath) {
        return refuse(szWhy, whySize, "its name is too long");
    }
    memcpy(szPath, path, strlen(path));
    struct stat lst;
    for (int links = 0;; ++links) {
        if (lstat(szPath, &lst) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                return C_FILE_MISSING;
            }
            return refuse(szWhy, whySize, "'%s' cannot be examined: %s", szPath, strerror(errno));
        }
        if (check_folder(szPath, szWhy, whySize) != C_FILE_TRUSTED) {
            return C_FILE_REFUSED;
        }
        if (!S_ISLNK(lst.st_mode)) {
            break;
        }
        if (links == kMaxLinks || !follow_link(szPath)) {
            return refuse(szWhy, whySize, "its symbolic links cannot be followed");
        }
    }
    if (!S_ISREG(lst.st_mode)) {
        return refuse(szWhy, whySize, "it is not a regular file");
    }
    if (!is_trusted_owner(lst.st_uid)) {
        return refuse(szWhy, whySize,
                      "it belongs to user %u, neither root nor the user running the program",
                      static_cast<unsigned>(lst.st_uid));
    }
    if ((lst.st_mode & kWritableByOthers) != 0) {
        return refuse(szWhy, whySize, "it is writable by its group or by others");
    }
    if (st != nullptr) {
        *st = lst;
    }
    return C_FILE_TRUSTED;
}

int cOpenTrusted(const char* path, int* pResult, char* szWhy, size_t whySize) {
    struct stat checked;
    *pResult = cCheckTrusted(path, &checked, szWhy, whySize);
    if (*pResult != C_FILE_TRUSTED) {
        return -1;
    }
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (fd >= 0 && fstat(fd, &opened) == 0 && opened.st_dev == checked.st_dev &&
        opened.st_ino == checked.st_ino) {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    *pResult =
        fd >= 0 ? refuse(szWhy, whySize, "it was replaced while it was examined") : C_FILE_MISSING;
    return -1;
}
