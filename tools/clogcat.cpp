// clogcat: writes the clear text of an encrypted trace log file to standard output.
#include "cLog_internal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Reads the whole file at `path` into `image`; false (errno set) when it cannot be read.
bool read_image(const char* path, std::vector<unsigned char>& image) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    unsigned char chunk[65536];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), f)) > 0) {
        image.insert(image.end(), chunk, chunk + got);
    }
    const bool bOk = ferror(f) == 0;
    const int savedErrno = errno;
    fclose(f);
    errno = savedErrno;
    return bOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        fprintf(stderr, "usage: clogcat FILE\n");
        return kExitUsage;
    }
    const char* path = argv[1];
    std::vector<unsigned char> image;
    if (!read_image(path, image)) {
        fprintf(stderr, "clogcat: cannot read '%s': %s\n", path, strerror(errno));
        return kExitFailure;
    }
    std::vector<unsigned char> text(image.size() > 16 ? image.size() - 16 : 1);
    const long len = cLog_decrypt_image(image.data(), static_cast<long>(image.size()), text.data());
    if (len < 0) {
        fprintf(stderr,
                "clogcat: '%s' is not a trace log (shorter than 16 bytes or no \"Salted__\" "
                "magic)\n",
                path);
        return kExitFailure;
    }
    if (fwrite(text.data(), 1, static_cast<size_t>(len), stdout) != static_cast<size_t>(len) ||
        fflush(stdout) != 0) {
        fprintf(stderr, "clogcat: cannot write the text of '%s': %s\n", path, strerror(errno));
        return kExitFailure;
    }
    return 0;
}
