// SPDX-License-Identifier: MIT
// The in-fuzzer PKCS#11 module and the boxes it records.
#ifndef PINMAN_FUZZ_FAKE_MODULE_H
#define PINMAN_FUZZ_FAKE_MODULE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <p11-kit/pkcs11.h>

// The input a run answers from: control bytes first, then the certificate blob.
struct FuzzInput {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t controlSize = 0;
    size_t pos = 0;
};

extern FuzzInput g_input;
extern CK_FUNCTION_LIST g_fakeModule;
extern std::string g_lastBox;

#endif
