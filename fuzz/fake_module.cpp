// SPDX-License-Identifier: MIT
// A PKCS#11 module inside the fuzzer that answers from the fuzz input: counts, lengths and
// certificate bytes of any value. Message boxes are recorded instead of shown.
#include "fake_module.h"

#include <cstring>
#include <string>

#include "gtkzorvpin.h"

std::string g_lastBox;
FuzzInput g_input;

void ShowMessage(const char* message) {
    g_lastBox = message;
}

void ShowMessageError(const char* message) {
    g_lastBox = message;
}

namespace {

uint64_t take(size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) {
        v <<= 8;
        if (g_input.pos < g_input.controlSize)
            v |= g_input.data[g_input.pos++];
    }
    return v;
}

CK_RV fake_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (list != nullptr && *count > 0)
        list[0] = 0;
    *count = 1;
    return CKR_OK;
}

CK_RV fake_OpenSession(CK_SLOT_ID, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR ph) {
    *ph = 1 + take(1);
    return CKR_OK;
}

CK_RV fake_CloseSession(CK_SESSION_HANDLE) {
    return CKR_OK;
}

CK_RV fake_FindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
    return take(1) == 0xEE ? CKR_GENERAL_ERROR : CKR_OK;
}

// Claims any number of objects but writes no more handles than there is room for.
CK_RV fake_FindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max,
                       CK_ULONG_PTR count) {
    const CK_ULONG claimed = take(1) % 4 == 0 ? take(8) : take(1) % 20;
    for (CK_ULONG i = 0; i < claimed && i < max; ++i)
        objects[i] = 100 + i;
    *count = claimed;
    return CKR_OK;
}

CK_RV fake_FindObjectsFinal(CK_SESSION_HANDLE) {
    return CKR_OK;
}

// The value is the certificate blob of the input; the lengths answered are the input's.
CK_RV fake_GetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR templ,
                             CK_ULONG) {
    const size_t blob = g_input.size - g_input.controlSize;
    const uint8_t mode = static_cast<uint8_t>(take(1));
    if (templ->pValue == nullptr) {
        switch (mode % 4) {
            case 0:
                templ->ulValueLen = blob;
                break;
            case 1:
                templ->ulValueLen = CK_UNAVAILABLE_INFORMATION;
                break;
            case 2:
                templ->ulValueLen = take(4);
                break;
            default:
                templ->ulValueLen = take(1);
                break;
        }
        return mode == 0xFF ? CKR_GENERAL_ERROR : CKR_OK;
    }
    const size_t room = templ->ulValueLen;
    memcpy(templ->pValue, g_input.data + g_input.controlSize, room < blob ? room : blob);
    if (mode % 3 == 1)
        templ->ulValueLen = take(8);  // a length beyond the buffer
    return mode == 0xFE ? CKR_GENERAL_ERROR : CKR_OK;
}

CK_FUNCTION_LIST make_list() {
    CK_FUNCTION_LIST list;
    memset(&list, 0, sizeof list);
    list.version = {2, 20};
    list.C_GetSlotList = fake_GetSlotList;
    list.C_OpenSession = fake_OpenSession;
    list.C_CloseSession = fake_CloseSession;
    list.C_FindObjectsInit = fake_FindObjectsInit;
    list.C_FindObjects = fake_FindObjects;
    list.C_FindObjectsFinal = fake_FindObjectsFinal;
    list.C_GetAttributeValue = fake_GetAttributeValue;
    return list;
}

}  // namespace

CK_FUNCTION_LIST g_fakeModule = make_list();
