// SPDX-License-Identifier: MIT
// A PKCS#11 module whose C_GetFunctionList always fails.
#include <p11-kit/pkcs11.h>

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (ppFunctionList != nullptr)
        *ppFunctionList = nullptr;
    return CKR_GENERAL_ERROR;
}
