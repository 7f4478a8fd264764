// SPDX-License-Identifier: MIT
// Test library for the loader: one exported function.
extern "C" int dyn_good_answer() {
    return 42;
}
