# SPDX-License-Identifier: MIT
# The holder's session through the real window on opencryptoki's soft token, checked with a PKCS#11 client.
"""Runs inside `opencryptoki-card.sh run --label ... --pin ...` (see tests/fixtures), which
provides PKCS11_MODULE and OCK_SLOT. The soft token counts wrong logins and shows one flag at a
time (count low, final try, locked), so Info reads each state in turn. After every step that
changes a secret, a client of its own (p11login.py, in another process) logs in with the new
one, and the old one no longer logs in."""

import os
import unittest

import shown_texts as shown
from p11login import login
from stacks_e2e import StackCase

# The fixture's card: label, user PIN and the security officer PIN (the program's PUK).
LABEL, PIN, PUK = (os.environ.get(name, "") for name in ("CARD_LABEL", "CARD_PIN", "CARD_PUK"))
# Five digits and more, so that no time stamp or address in the output contains one by chance.
NEW_PIN, WRONG_PIN, UNBLOCKED_PIN, NEW_PUK = "82640", "19283", "46057", "93718264"

# PIN status on Info after 0, 1, 2 and 3 wrong PINs.
PIN_STATUS = [shown.PIN_OK, shown.WRONG_TRY_MADE, shown.LAST_TRY_LEFT, shown.PIN_LOCKED]


class OpencryptokiHolderSession(StackCase):
    def setUp(self):
        super().setUp()
        self.slot = os.environ.get("OCK_SLOT", "")
        if not (self.slot and LABEL and PIN and PUK):
            self.fail("run inside opencryptoki-card.sh (OCK_SLOT, CARD_* are not set)")

    def logs_in(self, user, pin, expected):
        self.assertEqual(login(self.module, self.slot, user, pin), expected, "%s login with %s" % (user, pin))

    def test_holder_session(self):
        p = self.program("opencryptoki")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())
        self.assertIn("PKCS11-2: '%s'" % self.module, p.stderr())

        fields = p.info("info-fresh")
        self.assertEqual(fields["label"].rstrip(), LABEL)
        self.assertEqual((fields["min_pin"], fields["max_pin"]), ("4", "8"))
        self.assertEqual((fields["pin_status"], fields["puk_status"]), (shown.PIN_OK, shown.PUK_OK))

        # Change the PIN: the token takes the new one, not the old one.
        self.operate(p, "Change PIN", (PIN, NEW_PIN, NEW_PIN), shown.SUCCESS, "pin-changed-box", wid)
        self.logs_in("user", NEW_PIN, "CKR_OK")
        self.logs_in("user", PIN, "CKR_PIN_INCORRECT")
        self.logs_in("user", NEW_PIN, "CKR_OK")  # the wrong try above is forgotten again

        # Three wrong PINs: Info reads each of the token's states in turn.
        for wrong in (1, 2, 3):
            self.operate(p, "Change PIN", (WRONG_PIN, PIN, PIN), shown.WRONG_PIN, "wrong-pin-box", wid)
            fields = p.info("info-after-%d-wrong" % wrong)
            self.assertEqual((fields["pin_status"], fields["puk_status"]), (PIN_STATUS[wrong], shown.PUK_OK))
        self.operate(p, "Change PIN", (NEW_PIN, PIN, PIN), shown.PIN_BLOCKED, "pin-blocked-box", wid)
        self.logs_in("user", NEW_PIN, "CKR_PIN_LOCKED")

        # Unblock it with the security officer PIN.
        self.operate(p, "Unblock PIN", (PUK, UNBLOCKED_PIN, UNBLOCKED_PIN), shown.SUCCESS, "pin-unblocked-box", wid)
        self.logs_in("user", UNBLOCKED_PIN, "CKR_OK")
        fields = p.info("info-unblocked")
        self.assertEqual(fields["pin_status"], shown.PIN_OK)

        # Change the PUK, the fields set through the accessibility bus and OK pressed.
        self.operate(p, "Change PUK", (PUK, NEW_PUK, NEW_PUK), shown.SUCCESS, "puk-changed-box")
        self.logs_in("so", NEW_PUK, "CKR_OK")
        self.logs_in("so", PUK, "CKR_PIN_INCORRECT")
        self.logs_in("so", NEW_PUK, "CKR_OK")
        self.logs_in("user", UNBLOCKED_PIN, "CKR_OK")

        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0, p.stderr())
        err = p.stderr()
        for secret in (PIN, NEW_PIN, WRONG_PIN, UNBLOCKED_PIN, PUK, NEW_PUK):
            self.assertNotIn(secret, err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
