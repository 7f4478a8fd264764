// SPDX-License-Identifier: MIT
// A shared library that is no PKCS#11 module: it lacks C_GetFunctionList.
extern "C" int not_a_pkcs11_module() {
    return 0;
}
