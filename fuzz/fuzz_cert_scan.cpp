// SPDX-License-Identifier: MIT
// Fuzzes the start-up certificate scan against a module that answers any counts, lengths
// and certificate bytes: the report stays within its buffer and every session is closed.
#include <cstdint>

#include "silence.h"
#include <cstdio>
#include <cstdlib>

#include "fake_module.h"
#include "gtkzorvpin.h"
#include "pinman_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StderrSilenced quiet;
    if (size < 2)
        return 0;
    // The first byte says how many control bytes follow; the rest is the certificate.
    const size_t control = 1 + data[0] % 64;
    if (control > size)
        return 0;
    g_input = FuzzInput{data, size, control, 1};
    g_lastBox.clear();
    use_built_in_module(&g_fakeModule);
    g_checkExpire = 1 + static_cast<int>(data[1]) * 86400;
    if (CheckExpire() != 0)
        abort();
    if (card_state().s_hSession != 0)
        abort();
    if (g_lastBox.size() >= PINMAN_REPORT_SIZE)
        abort();
    return 0;
}
