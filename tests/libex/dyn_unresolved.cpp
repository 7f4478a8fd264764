// SPDX-License-Identifier: MIT
// Test library for the loader: needs a symbol that nothing provides.
extern "C" int symbol_nobody_provides(int);

extern "C" int dyn_unresolved_call(int x) {
    return symbol_nobody_provides(x);
}
