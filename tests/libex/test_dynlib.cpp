// SPDX-License-Identifier: MIT
// Tests of run-time library loading with real shared libraries built for the purpose.
#include <gtest/gtest.h>

#include "cDynlib.h"

TEST(Dynlib, LoadFindCallAndFree) {
    DYN_HANDLE h = dyn_LoadLibrary(DYN_GOOD);
    ASSERT_NE(h, nullptr);
    using Fn = int (*)();
    auto fn = reinterpret_cast<Fn>(dyn_GetProcAddress(h, "dyn_good_answer"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 42);
    EXPECT_EQ(dyn_GetProcAddress(h, "no_such_function"), nullptr);
    EXPECT_EQ(dyn_GetModuleHandle(DYN_GOOD), nullptr) << "not available even when loaded";
    EXPECT_EQ(dyn_FreeLibrary(h), 1);
}

TEST(Dynlib, UnresolvedSymbolFailsAtLoad) {
    EXPECT_EQ(dyn_LoadLibrary(DYN_UNRESOLVED), nullptr);
}

TEST(Dynlib, MissingFileAndBareNameOutsideTheSearchPath) {
    EXPECT_EQ(dyn_LoadLibrary("/nonexistent/libnothing.so"), nullptr);
    EXPECT_EQ(dyn_LoadLibrary("libdyn_good_not_on_any_path.so"), nullptr);
    // A bare name is looked up along the loader's search path.
    DYN_HANDLE libc = dyn_LoadLibrary("libc.so.6");
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(dyn_GetProcAddress(libc, "strlen"), nullptr);
    EXPECT_EQ(dyn_FreeLibrary(libc), 1);
}
