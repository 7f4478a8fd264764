// SPDX-License-Identifier: MIT
// The PKCS#11 module's lifetime and the session on the one card present.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

DYN_HANDLE hLib;
CK_FUNCTION_LIST_PTR pFList;
CK_SESSION_HANDLE s_hSession;
CK_SLOT_ID s_slotId;

namespace {

typedef CK_RV (*t_C_GetFunctionList)(CK_FUNCTION_LIST_PTR_PTR);

constexpr const char* defaultP11Lib = "libzorvxpki.so";
constexpr CK_ULONG kMaxSlots = 16;

// Every entry of the function list the program calls; a module whose list lacks one is
// unusable, not a crash waiting for the first call.
struct NeededFunction {
    const char* name;
    size_t offset;
};
#define PINMAN_NEEDED(fn) \
    { #fn, offsetof(CK_FUNCTION_LIST, fn) }
constexpr NeededFunction kNeededFunctions[] = {
    PINMAN_NEEDED(C_Initialize),       PINMAN_NEEDED(C_GetSlotList),
    PINMAN_NEEDED(C_OpenSession),      PINMAN_NEEDED(C_CloseSession),
    PINMAN_NEEDED(C_Logout),           PINMAN_NEEDED(C_Login),
    PINMAN_NEEDED(C_SetPIN),           PINMAN_NEEDED(C_InitPIN),
    PINMAN_NEEDED(C_GetSlotInfo),      PINMAN_NEEDED(C_GetTokenInfo),
    PINMAN_NEEDED(C_FindObjectsInit),  PINMAN_NEEDED(C_FindObjects),
    PINMAN_NEEDED(C_FindObjectsFinal), PINMAN_NEEDED(C_GetAttributeValue),
};
#undef PINMAN_NEEDED

// 1 when the list holds every function the program calls; else 0, after a line on standard
// error naming the first one missing.
int has_needed_functions(const CK_FUNCTION_LIST* pList) {
    for (const NeededFunction& needed : kNeededFunctions) {
        void (*pEntry)(void) = nullptr;
        memcpy(&pEntry, reinterpret_cast<const char*>(pList) + needed.offset, sizeof pEntry);
        if (pEntry == nullptr) {
            fprintf(stderr, "The PKCS#11 module's function list has no %s\n", needed.name);
            return 0;
        }
    }
    return 1;
}

int fail_with(const char* message) {
    ShowMessageError(_(message));
    return 0;
}

// Turns the configured name into the file to load: names that are not absolute are taken
// below the module folder. Returns 0 when the composed path does not fit.
int resolve_module_name(char* szP11Lib, char* filePath) {
    const size_t len = strnlen(g_szP11Lib, PINMAN_PATH_SIZE - 1);
    memcpy(szP11Lib, g_szP11Lib, len);
    if (len > 0 && szP11Lib[len - 1] == '\n')
        szP11Lib[len - 1] = '\0';
    if (szP11Lib[0] != '/') {
        memcpy(filePath, s_szModulePath, strnlen(s_szModulePath, PINMAN_PATH_SIZE - 1));
        if (!bounded_append(filePath, PINMAN_PATH_SIZE, "/") ||
            !bounded_append(filePath, PINMAN_PATH_SIZE, szP11Lib)) {
            fprintf(stderr, "PKCS#11 module path too long, refused: '%s/%s'\n", s_szModulePath,
                    szP11Lib);
            return 0;
        }
        memcpy(szP11Lib, filePath, PINMAN_PATH_SIZE);
    }
    fprintf(stderr, "PKCS11-2: '%s'\n", szP11Lib);
    return 1;
}

// Whether the present slots slotList[0..ulSlots) are all one physical card: a module such as
// OpenSC gives one card a slot per PIN, each with the same reader (slot description) and the
// same token serial number. A slot whose query fails, or whose list the module did not fill
// (more slots than kMaxSlots), counts as a card of its own. Returns 1 or 0.
int one_card(const CK_SLOT_ID* slotList, CK_ULONG ulSlots) {
    if (ulSlots > kMaxSlots)
        return 0;
    CK_SLOT_INFO firstSlot;
    CK_TOKEN_INFO firstToken;
    memset(&firstSlot, 0, sizeof firstSlot);
    memset(&firstToken, 0, sizeof firstToken);
    if (pFList->C_GetSlotInfo(slotList[0], &firstSlot) != CKR_OK ||
        pFList->C_GetTokenInfo(slotList[0], &firstToken) != CKR_OK)
        return 0;
    for (CK_ULONG i = 1; i < ulSlots; ++i) {
        CK_SLOT_INFO slotInfo;
        CK_TOKEN_INFO tokenInfo;
        memset(&slotInfo, 0, sizeof slotInfo);
        memset(&tokenInfo, 0, sizeof tokenInfo);
        if (pFList->C_GetSlotInfo(slotList[i], &slotInfo) != CKR_OK ||
            pFList->C_GetTokenInfo(slotList[i], &tokenInfo) != CKR_OK)
            return 0;
        if (memcmp(slotInfo.slotDescription, firstSlot.slotDescription,
                   sizeof slotInfo.slotDescription) != 0 ||
            memcmp(tokenInfo.serialNumber, firstToken.serialNumber,
                   sizeof tokenInfo.serialNumber) != 0)
            return 0;
    }
    return 1;
}

}  // namespace

int InitP11(void) {
    char filePath[PINMAN_PATH_SIZE] = {0};
    char szP11Lib[PINMAN_PATH_SIZE] = {0};
    CK_SLOT_ID slotList[kMaxSlots];
    CK_ULONG ulSlots = 0;

    // Repeats the change of directory of start-up, on a copy of the module path of its own;
    // the module name below is absolute when it matters.
    enter_module_folder(filePath);
    memset(filePath, 0, sizeof filePath);
    hLib = nullptr;
    s_hSession = 0;
    pFList = nullptr;

    if (g_szP11Lib[0] != '\0') {
        if (!resolve_module_name(szP11Lib, filePath))
            return fail_with(N_("Unable to load PKCS#11 library"));
    } else {
        fprintf(stderr, "PKCS11-2: '%s'\n", szP11Lib);
        memcpy(szP11Lib, defaultP11Lib, strlen(defaultP11Lib) + 1);
    }

    // A path is loaded only when it names a regular file nobody else may have written (a
    // FIFO would block the loader); a bare name is the loader's to look up along its path.
    if (strchr(szP11Lib, '/') != nullptr && !trusted_file(szP11Lib, nullptr))
        return fail_with(N_("Unable to load PKCS#11 library"));
    hLib = dyn_LoadLibrary(szP11Lib);
    if (hLib == nullptr)
        return fail_with(N_("Unable to load PKCS#11 library"));
    auto getFunctionList =
        reinterpret_cast<t_C_GetFunctionList>(dyn_GetProcAddress(hLib, "C_GetFunctionList"));
    if (getFunctionList == nullptr)
        return fail_with(N_("The PKCS#11 library is invalid or corrupt"));
    if (getFunctionList(&pFList) != CKR_OK)
        return fail_with(N_("Unable to initialize PKCS#11 functions"));
    // A list that is missing, or lacks a function the program calls, is a broken library.
    if (pFList == nullptr) {
        fprintf(stderr, "The PKCS#11 module answered CKR_OK without a function list\n");
        return fail_with(N_("The PKCS#11 library is invalid or corrupt"));
    }
    if (!has_needed_functions(pFList))
        return fail_with(N_("The PKCS#11 library is invalid or corrupt"));
    if (pFList->C_Initialize(nullptr) != CKR_OK)
        return fail_with(N_("Unable to initialize PKCS#11 library"));

    ulSlots = kMaxSlots;
    if (pFList->C_GetSlotList(CK_FALSE, slotList, &ulSlots) != CKR_OK || ulSlots == 0) {
        return fail_with(N_("There is no reader available"));
    }
    return 1;
}

void FinalizeP11(void) {
    if (hLib == nullptr)
        return;
    if (s_hSession != 0 && pFList != nullptr)
        pFList->C_CloseSession(s_hSession);
    dyn_FreeLibrary(hLib);
}

int OpenSession(int bShowError) {
    CK_SLOT_ID slotList[kMaxSlots];
    CK_ULONG ulSlots = kMaxSlots;
    const CK_RV rv = pFList->C_GetSlotList(CK_TRUE, slotList, &ulSlots);
    if (rv != CKR_OK || ulSlots == 0) {
        if (bShowError)
            ShowMessageError(_("There is no smartcard in any reader"));
        return 0;
    }
    if (ulSlots > 1 && !one_card(slotList, ulSlots)) {
        ShowMessageError(
            _("Warning: there are multipkle smart card inseted\n"
              "Please inser just one card at time."));
        return 0;
    }
    CK_SESSION_HANDLE hSession = 0;
    if (pFList->C_OpenSession(slotList[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                              &hSession) != CKR_OK) {
        if (bShowError)
            ShowMessageError(_("Error communicating with the card (open session)"));
        return 0;
    }
    s_hSession = hSession;
    s_slotId = slotList[0];
    return 1;
}
