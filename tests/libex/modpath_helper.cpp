// SPDX-License-Identifier: MIT
// Test helper: waits for one line on standard input, then prints its own module path.
// The wait lets a test delete or rename the executable while it runs.
#include <cstdio>

#include "cModules.h"

int main() {
    char line[16];
    if (fgets(line, sizeof line, stdin) == nullptr)
        return 2;
    char szPath[1024] = {0};
    const size_t len = GetCurrentModulePath(szPath, 1023);
    printf("%zu %s\n", len, szPath);
    return len == 0 ? 1 : 0;
}
