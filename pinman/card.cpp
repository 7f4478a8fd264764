// SPDX-License-Identifier: MIT
// The PKCS#11 module's lifetime, the card state, and the session on the one card present.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

// The card state: the loaded module, its function list, the current session (0 for none) and
// the slot of the card in use. Written on the main thread only, while no call runs.
DYN_HANDLE hLib;
CK_FUNCTION_LIST_PTR pFList;
CK_SESSION_HANDLE s_hSession;
CK_SLOT_ID s_slotId;

typedef CK_RV (*t_C_GetFunctionList)(CK_FUNCTION_LIST_PTR_PTR);

constexpr const char* defaultP11Lib = "libzorvxpki.so";

// No machine has this many readers; a module that counts more is answering garbage, and its
// count is not trusted with memory.
constexpr CK_ULONG kMaxSlots = 4096;
// How often the slot list is asked for again when readers appear between the two calls.
constexpr int kSlotListRounds = 8;
// What a list entry the module did not fill holds: no slot, whose queries fail.
constexpr CK_SLOT_ID kUnfilledSlot = ~CK_SLOT_ID(0);

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

// The module's slots, all of them or those holding a card, by the standard's two calls: the
// count, then a list of that size, asked again while readers appear in between. Runs on the
// card thread. A count beyond kMaxSlots answers CKR_BUFFER_TOO_SMALL; entries the module
// claims but does not write hold kUnfilledSlot.
CK_RV get_slot_list(CK_FUNCTION_LIST_PTR pList, CK_BBOOL present, std::vector<CK_SLOT_ID>& slots) {
    slots.clear();
    for (int round = 0; round < kSlotListRounds; ++round) {
        CK_ULONG ulSlots = 0;
        CK_RV rv = pList->C_GetSlotList(present, nullptr, &ulSlots);
        if (rv != CKR_OK || ulSlots == 0)
            return rv;
        if (ulSlots > kMaxSlots)
            return CKR_BUFFER_TOO_SMALL;
        slots.assign(ulSlots, kUnfilledSlot);
        const CK_ULONG room = ulSlots;
        rv = pList->C_GetSlotList(present, slots.data(), &ulSlots);
        if (rv == CKR_BUFFER_TOO_SMALL)
            continue;
        // Never more entries than there is room for, whatever count the module answers.
        slots.resize(rv == CKR_OK && ulSlots < room ? ulSlots : room);
        if (rv != CKR_OK)
            slots.clear();
        return rv;
    }
    slots.clear();
    return CKR_BUFFER_TOO_SMALL;
}

// Whether the present slots are all one physical card: a module such as OpenSC gives one card a
// slot per PIN, each with the same reader (slot description) and the same token serial number.
// A slot whose query fails counts as a card of its own. Runs on the card thread.
bool one_card(CK_FUNCTION_LIST_PTR pList, const std::vector<CK_SLOT_ID>& slots) {
    CK_SLOT_INFO first_slot;
    CK_TOKEN_INFO first_token;
    memset(&first_slot, 0, sizeof first_slot);
    memset(&first_token, 0, sizeof first_token);
    if (pList->C_GetSlotInfo(slots[0], &first_slot) != CKR_OK ||
        pList->C_GetTokenInfo(slots[0], &first_token) != CKR_OK)
        return false;
    for (size_t i = 1; i < slots.size(); ++i) {
        CK_SLOT_INFO slotInfo;
        CK_TOKEN_INFO tokenInfo;
        memset(&slotInfo, 0, sizeof slotInfo);
        memset(&tokenInfo, 0, sizeof tokenInfo);
        if (pList->C_GetSlotInfo(slots[i], &slotInfo) != CKR_OK ||
            pList->C_GetTokenInfo(slots[i], &tokenInfo) != CKR_OK)
            return false;
        if (memcmp(slotInfo.slotDescription, first_slot.slotDescription,
                   sizeof slotInfo.slotDescription) != 0 ||
            memcmp(tokenInfo.serialNumber, first_token.serialNumber,
                   sizeof tokenInfo.serialNumber) != 0)
            return false;
    }
    return true;
}

// What looking for the one card found.
enum FoundCard { kNoCard, kSeveralCards, kOneCard };

}  // namespace

CK_RV card_call(const std::function<CK_RV(const CardState&)>& call) {
    if (pFList == nullptr)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    const CardState state = card_state();
    // A module built into the program answers at once, on this thread.
    if (hLib == nullptr)
        return call(state);
    return run_on_card_thread([&] { return call(state); });
}

CardState card_state(void) {
    return CardState{hLib, pFList, s_hSession, s_slotId};
}

void use_built_in_module(CK_FUNCTION_LIST_PTR pList) {
    pFList = pList;
    s_hSession = 0;
}

void close_card_session(void) {
    if (s_hSession == 0)
        return;
    card_call([](const CardState& card) { return card.pFList->C_CloseSession(card.s_hSession); });
    s_hSession = 0;
}

int InitP11(void) {
    char filePath[PINMAN_PATH_SIZE] = {0};
    char szP11Lib[PINMAN_PATH_SIZE] = {0};

    // Repeats the change of directory of start-up; the module name below is absolute when it
    // matters.
    enter_module_folder();
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
    auto get_function_list =
        reinterpret_cast<t_C_GetFunctionList>(dyn_GetProcAddress(hLib, "C_GetFunctionList"));
    if (get_function_list == nullptr)
        return fail_with(N_("The PKCS#11 library is invalid or corrupt"));
    CK_FUNCTION_LIST_PTR pList = nullptr;
    if (run_on_card_thread([&] { return get_function_list(&pList); }) != CKR_OK)
        return fail_with(N_("Unable to initialize PKCS#11 functions"));
    // A list that is missing, or lacks a function the program calls, is a broken library.
    if (pList == nullptr) {
        fprintf(stderr, "The PKCS#11 module answered CKR_OK without a function list\n");
        return fail_with(N_("The PKCS#11 library is invalid or corrupt"));
    }
    pFList = pList;
    if (!has_needed_functions(pFList))
        return fail_with(N_("The PKCS#11 library is invalid or corrupt"));
    if (card_call([](const CardState& card) { return card.pFList->C_Initialize(nullptr); }) !=
        CKR_OK)
        return fail_with(N_("Unable to initialize PKCS#11 library"));

    std::vector<CK_SLOT_ID> slots;
    const CK_RV rv = card_call(
        [&](const CardState& card) { return get_slot_list(card.pFList, CK_FALSE, slots); });
    if (rv != CKR_OK || slots.empty())
        return fail_with(N_("There is no reader available"));
    return 1;
}

void FinalizeP11(void) {
    if (hLib != nullptr) {
        if (s_hSession != 0 && pFList != nullptr)
            card_call(
                [](const CardState& card) { return card.pFList->C_CloseSession(card.s_hSession); });
        // The card thread ends before the module goes: it may hold the module's per-thread data.
        stop_card_thread();
        dyn_FreeLibrary(hLib);
    }
    stop_card_thread();
    hLib = nullptr;
    pFList = nullptr;
    s_hSession = 0;
    s_slotId = 0;
}

int OpenSession(int bShowError) {
    std::vector<CK_SLOT_ID> slots;
    CK_SESSION_HANDLE hSession = 0;
    FoundCard found = kNoCard;
    CK_RV rv = card_call([&](const CardState& card) {
        CK_RV result = get_slot_list(card.pFList, CK_TRUE, slots);
        if (result != CKR_OK || slots.empty())
            return result;
        if (slots.size() > 1 && !one_card(card.pFList, slots)) {
            found = kSeveralCards;
            return CKR_OK;
        }
        found = kOneCard;
        return card.pFList->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                          nullptr, &hSession);
    });
    if (found == kNoCard) {
        if (bShowError)
            ShowMessageError(_("There is no smartcard in any reader"));
        return 0;
    }
    if (found == kSeveralCards) {
        ShowMessageError(
            _("Warning: there are multipkle smart card inseted\n"
              "Please inser just one card at time."));
        return 0;
    }
    if (rv != CKR_OK) {
        if (bShowError)
            ShowMessageError(_("Error communicating with the card (open session)"));
        return 0;
    }
    s_hSession = hSession;
    s_slotId = slots[0];
    return 1;
}
