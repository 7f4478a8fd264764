// SPDX-License-Identifier: MIT
// Scope guards for the C resources the program and its library hold in a function: a stdio
// file and a malloc'ed buffer, each released when the guard leaves its scope.
#ifndef LIBEX_CGUARDS_H
#define LIBEX_CGUARDS_H

#include <stdio.h>
#include <stdlib.h>

#include <memory>

namespace libex {

/* Closes the file it holds; a null guard closes nothing. */
struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

/* Frees the buffer it holds with free(). */
struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace libex

#endif
