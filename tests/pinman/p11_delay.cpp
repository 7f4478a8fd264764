// SPDX-License-Identifier: MIT
// A PKCS#11 module that passes every call to another module, one call at a time, and sleeps
// before one named call: a slow card, or one that never answers.
//   P11DELAY_MODULE   the module the calls go to
//   P11DELAY_CALL     the function to delay, e.g. C_Login
//   P11DELAY_SECONDS  how long it sleeps first; a negative number: it never returns
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

CK_FUNCTION_LIST g_list;
CK_FUNCTION_LIST_PTR g_real;
std::mutex g_mutex;  // held for each whole call: a second call waits for the first
size_t g_delayed = ~size_t(0);

void wait_before(size_t offset) {
    if (offset != g_delayed)
        return;
    const char* seconds = getenv("P11DELAY_SECONDS");
    const double s = seconds != nullptr ? atof(seconds) : 0;
    if (s < 0) {
        for (;;)
            pause();
    }
    usleep(static_cast<useconds_t>(s * 1e6));
}

template <typename F, size_t Offset>
struct Pass;
template <typename... A, size_t Offset>
struct Pass<CK_RV (*)(A...), Offset> {
    static CK_RV call(A... args) {
        std::lock_guard<std::mutex> lock(g_mutex);
        wait_before(Offset);
        CK_RV (*fn)(A...) = nullptr;
        memcpy(&fn, reinterpret_cast<const char*>(g_real) + Offset, sizeof fn);
        return fn(args...);
    }
};

#define P11DELAY_PASS(fn)                                                                      \
    {                                                                                          \
#fn, offsetof(CK_FUNCTION_LIST, fn),                                                   \
            reinterpret_cast < void (*)(void)>                                                 \
                (&Pass <decltype(CK_FUNCTION_LIST::fn), offsetof(CK_FUNCTION_LIST, fn)>::call) \
    }
struct Passed {
    const char* name;
    size_t offset;
    void (*wrapper)(void);
};
// The calls of a holder's session; every other entry goes to the module unwrapped.
const Passed kPassed[] = {
    P11DELAY_PASS(C_Initialize),
    P11DELAY_PASS(C_Finalize),
    P11DELAY_PASS(C_GetInfo),
    P11DELAY_PASS(C_GetSlotList),
    P11DELAY_PASS(C_GetSlotInfo),
    P11DELAY_PASS(C_GetTokenInfo),
    P11DELAY_PASS(C_OpenSession),
    P11DELAY_PASS(C_CloseSession),
    P11DELAY_PASS(C_Login),
    P11DELAY_PASS(C_Logout),
    P11DELAY_PASS(C_SetPIN),
    P11DELAY_PASS(C_InitPIN),
    P11DELAY_PASS(C_FindObjectsInit),
    P11DELAY_PASS(C_FindObjects),
    P11DELAY_PASS(C_FindObjectsFinal),
    P11DELAY_PASS(C_GetAttributeValue),
};
#undef P11DELAY_PASS

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (ppFunctionList == nullptr)
        return CKR_ARGUMENTS_BAD;
    if (g_real == nullptr) {
        const char* path = getenv("P11DELAY_MODULE");
        void* module = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto get = module != nullptr
                       ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"))
                       : nullptr;
        if (get == nullptr || get(&g_real) != CKR_OK || g_real == nullptr)
            return CKR_GENERAL_ERROR;
        g_list = *g_real;
        const char* delayed = getenv("P11DELAY_CALL");
        for (const Passed& p : kPassed) {
            memcpy(reinterpret_cast<char*>(&g_list) + p.offset, &p.wrapper, sizeof p.wrapper);
            if (delayed != nullptr && strcmp(delayed, p.name) == 0)
                g_delayed = p.offset;
        }
    }
    *ppFunctionList = &g_list;
    return CKR_OK;
}
