// SPDX-License-Identifier: MIT
// clogcat: writes the clear text of an encrypted trace log file to standard output.
#include "cLog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Results of read_image.
constexpr int kReadOk = 0;
constexpr int kReadFailed = 1;  // errno says why
constexpr int kNotRegular = 2;  // a directory, FIFO, device or socket

// Reads the whole regular file at `path` into `image`. A FIFO is not waited on: the opening
// does not block, and the file type is checked before anything is read.
int read_image(const char* path, std::vector<unsigned char>& image) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return kReadFailed;
    }
    struct stat st;
    int result = kReadOk;
    if (fstat(fd, &st) != 0) {
        result = kReadFailed;
    } else if (!S_ISREG(st.st_mode)) {
        result = kNotRegular;
    }
    unsigned char chunk[65536];
    while (result == kReadOk) {
        const ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            result = got == 0 ? kReadOk : kReadFailed;
            break;
        }
        image.insert(image.end(), chunk, chunk + got);
    }
    const int savedErrno = errno;
    close(fd);
    errno = savedErrno;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        fprintf(stderr, "usage: clogcat FILE\n");
        return kExitUsage;
    }
    const char* path = argv[1];
    std::vector<unsigned char> image;
    const int readResult = read_image(path, image);
    if (readResult == kReadFailed) {
        fprintf(stderr, "clogcat: cannot read '%s': %s\n", path, strerror(errno));
        return kExitFailure;
    }
    if (readResult == kNotRegular) {
        fprintf(stderr, "clogcat: '%s' is not a trace log (not a regular file)\n", path);
        return kExitFailure;
    }
    std::vector<unsigned char> text(image.size() > 0 ? image.size() : 1);
    const long len = cLog_decrypt_image(image.data(), static_cast<long>(image.size()), text.data());
    if (len < 0) {
        fprintf(stderr, "clogcat: '%s' is not a trace log (empty file)\n", path);
        return kExitFailure;
    }
    if (fwrite(text.data(), 1, static_cast<size_t>(len), stdout) != static_cast<size_t>(len) ||
        fflush(stdout) != 0) {
        fprintf(stderr, "clogcat: cannot write the text of '%s': %s\n", path, strerror(errno));
        return kExitFailure;
    }
    return 0;
}
