// SPDX-License-Identifier: MIT
// Keeps the diagnostic lines of the code under test off the fuzzer's own output.
#ifndef PINMAN_FUZZ_SILENCE_H
#define PINMAN_FUZZ_SILENCE_H

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

class StderrSilenced {
public:
    StderrSilenced() {
        static const int devNull = open("/dev/null", O_WRONLY);
        fflush(stderr);
        saved_ = dup(2);
        dup2(devNull, 2);
    }
    ~StderrSilenced() {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }
    StderrSilenced(const StderrSilenced&) = delete;
    StderrSilenced& operator=(const StderrSilenced&) = delete;

private:
    int saved_;
};

#endif
