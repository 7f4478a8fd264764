# SPDX-License-Identifier: MIT
# A PKCS#11 client of its own for the tests: does this PIN log in on the token now?
"""Usage: python3 p11login.py MODULE SLOT user|so PIN

Loads MODULE, opens a read-write session on SLOT, logs in as the user or the security
officer with PIN, logs out, and prints the C_Login answer by name (CKR_OK, CKR_PIN_INCORRECT,
CKR_PIN_LOCKED, ...). Ends with status 0 when C_Login answered CKR_OK, 1 for any other answer,
2 when the module cannot be loaded or no session can be opened. Run in a process of its own,
so that nothing of the module's state stays behind in the caller."""

import ctypes
import subprocess
import sys

CKU = {"so": 0, "user": 1}
CKF_RW_SESSION, CKF_SERIAL_SESSION = 0x2, 0x4
CKR_NAMES = {0x0: "CKR_OK", 0x5: "CKR_GENERAL_ERROR", 0x30: "CKR_DEVICE_ERROR", 0xA0: "CKR_PIN_INCORRECT",
             0xA4: "CKR_PIN_LOCKED", 0xB7: "CKR_SESSION_READ_ONLY_EXISTS", 0x100: "CKR_USER_ALREADY_LOGGED_IN",
             0x104: "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"}


def ckr(rv):
    return CKR_NAMES.get(rv, "CKR_0x%X" % rv)


def login(module, slot, user, pin):
    """Runs this file as a command; returns its output, e.g. "CKR_OK"."""
    out = subprocess.run([sys.executable, __file__, module, str(slot), user, pin], capture_output=True,
                         text=True, timeout=60)
    return (out.stdout + out.stderr).strip()


def main(argv):
    if len(argv) != 5 or argv[3] not in CKU:
        print(__doc__.splitlines()[0], file=sys.stderr)
        return 2
    module, slot, user, pin = argv[1], int(argv[2]), CKU[argv[3]], argv[4].encode()
    lib = ctypes.CDLL(module)
    ulong = ctypes.c_ulong
    rv = lib.C_Initialize(None)
    if rv != 0:
        print("C_Initialize: " + ckr(rv))
        return 2
    session = ulong(0)
    rv = lib.C_OpenSession(ulong(slot), ulong(CKF_RW_SESSION | CKF_SERIAL_SESSION), None, None,
                           ctypes.byref(session))
    if rv != 0:
        print("C_OpenSession: " + ckr(rv))
        return 2
    rv = lib.C_Login(session, ulong(user), ctypes.c_char_p(pin), ulong(len(pin)))
    if rv == 0:
        lib.C_Logout(session)
    lib.C_CloseSession(session)
    lib.C_Finalize(None)
    print(ckr(rv))
    return 0 if rv == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
