// SPDX-License-Identifier: MIT
// A deliberate leak of our own, preloaded into the program to show that the valgrind
// suppressions for the desktop libraries still let a lost block of ours fail the run.
#include <cstdlib>
#include <cstring>

namespace {

char* volatile s_kept;

// Not inlined, so that the frame after the allocator is this library's.
__attribute__((noinline)) void lose_blocks() {
    for (int i = 0; i < 4; ++i) {
        s_kept = strdup("a block that nobody frees");  // the pattern fontconfig is let off for
        s_kept = static_cast<char*>(malloc(64));
    }
    s_kept = nullptr;
}

__attribute__((constructor)) void leak_at_load() {
    lose_blocks();
}

}  // namespace
