# SPDX-License-Identifier: MIT
"""A card holder's session with the real program: change the PIN by typing and Enter, lock the
PIN with wrong tries (Info reading each status) and unblock it with the PUK, change the PUK,
read the card information, lock the PUK with wrong tries, then Cancel. Each step is checked on
the card's state file and in the boxes, read through the accessibility bus; no PIN or PUK value
may reach standard error or the trace log."""

import glob
import os
import shutil
import subprocess
import unittest

import shown_texts as shown
from pinman_e2e import CLOGCAT, Program, ProgramCase

# Five digits and more, so that no time stamp or address in the output contains one by chance.
PIN, NEW_PIN, WRONG_PIN, UNBLOCKED_PIN = "73915", "82640", "19283", "46057"
PUK, NEW_PUK, WRONG_PUK = "58206147", "93718264", "40404040"
SECRETS = [PIN, NEW_PIN, WRONG_PIN, UNBLOCKED_PIN, PUK, NEW_PUK, WRONG_PUK]

# The card's text fields hold bytes that are no UTF-8, a valid character (the euro sign) and
# control characters: a line break that would forge a status line, a terminal's escape and a
# right-to-left override.
STATE = """[reader]
description = "Reader \\xc3\\x28"
label = "\\xff\\xfeHolder\\x0aPIN status: PIN OK"
serial = "\\xe2\\x82\\xac42"
model = "Sim\\xed\\xa0\\x80\\x1b[31m\\xe2\\x80\\xae"
min_pin = 4
max_pin = 8
pin = {pin}
puk = {puk}
puk_max_tries = 3
""".format(pin=PIN, puk=PUK)

# What Info shows of that card: the bytes that are no UTF-8 and the control characters reach
# GTK, and through it the accessibility bus, escaped, the rest of each field as it is, with the
# card's blank padding; the box keeps its lines (Program.info reads them whole).
INFO = {"serial": "\u20ac42" + " " * 11, "label": "\\xff\\xfeHolder\\x0aPIN status: PIN OK" + " " * 5,
        "model": "Sim\\xed\\xa0\\x80\\x1b[31m\\xe2\\x80\\xae" + " " * 2, "min_pin": "4", "max_pin": "8",
        "reader": "Reader \\xc3(" + " " * 55}

# What Info says of a PIN or PUK with 2, 1 and 0 tries left, as the card sets one flag at a time.
STATUS_LEFT = {"2": shown.WRONG_TRY_MADE, "1": shown.LAST_TRY_LEFT}


class HolderSession(ProgramCase):
    def setUp(self):
        # The trace log goes to /log when that folder exists.
        self.made_log_dir = not os.path.isdir("/log")
        if self.made_log_dir:
            try:
                os.mkdir("/log")
            except OSError:
                self.made_log_dir = False

    def tearDown(self):
        if self.made_log_dir:
            shutil.rmtree("/log", ignore_errors=True)

    def test_card_holder_session(self):
        p = Program("holder", state=STATE)
        self.addCleanup(p.stop)
        p.start()
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())
        p.screenshot("change-pin-page", p.main_frame())

        # Change the PIN: the current PIN, the new one twice, and Enter.
        self.operate(p, "Change PIN", (PIN, NEW_PIN, NEW_PIN), shown.SUCCESS, "pin-changed-box", wid)
        self.assertEqual(p.card.value("pin"), NEW_PIN)
        self.assertEqual(p.card.value("pin_tries"), "3")

        # Three wrong PINs: one try less each time, the last one locks.
        for left in ("2", "1", "0"):
            self.operate(p, "Change PIN", (WRONG_PIN, PIN, PIN), shown.WRONG_PIN, "wrong-pin-box", wid)
            self.assertEqual(p.card.value("pin_tries"), left)
            self.assertEqual(p.info(), dict(INFO, pin_status=STATUS_LEFT.get(left, shown.PIN_LOCKED),
                                            puk_status=shown.PUK_OK))
        self.operate(p, "Change PIN", (NEW_PIN, PIN, PIN), shown.PIN_BLOCKED, "pin-blocked-box", wid)

        # Unblock it with the PUK.
        p.show_page("Unblock PIN")
        p.screenshot("unblock-pin-page", p.main_frame())
        self.operate(p, "Unblock PIN", (PUK, UNBLOCKED_PIN, UNBLOCKED_PIN), shown.SUCCESS, "pin-unblocked-box", wid)
        self.assertEqual(p.card.value("pin"), UNBLOCKED_PIN)
        self.assertEqual(p.card.value("pin_tries"), "3")

        # Change the PUK, the fields set through the accessibility bus and OK pressed this time.
        p.show_page("Change PUK")
        p.screenshot("change-puk-page", p.main_frame())
        self.operate(p, "Change PUK", (PUK, NEW_PUK, NEW_PUK), shown.SUCCESS, "puk-changed-box")
        self.assertEqual(p.card.value("puk"), NEW_PUK)

        # The card information.
        self.assertEqual(p.info("info-box"), dict(INFO, pin_status=shown.PIN_OK, puk_status=shown.PUK_OK))

        # Three wrong PUKs: Info follows the tries left down to "PUK Locked".
        for left in ("2", "1", "0"):
            self.operate(p, "Change PUK", (WRONG_PUK, PUK, PUK), shown.WRONG_PUK, "wrong-puk-box", wid)
            self.assertEqual(p.card.value("puk_tries"), left)
            self.assertEqual(p.info(), dict(INFO, pin_status=shown.PIN_OK,
                                            puk_status=STATUS_LEFT.get(left, shown.PUK_LOCKED)))

        # The program lives on through every box: Cancel ends it as usual.
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)

        # No secret in what the program wrote, and no control character the card holds.
        err = p.stderr()
        self.assertNotRegex(err, "[\x00-\x09\x0b-\x1f\x7f\u0080-\u009f\u202a-\u202e]")
        for secret in SECRETS:
            self.assertNotIn(secret, err)
        log = self.decrypted_log(p.process.pid)
        if log is not None:
            self.assertIn("**br_locate: line is good:", log)
            for secret in SECRETS:
                self.assertNotIn(secret, log)

    def decrypted_log(self, pid):
        files = glob.glob("/log/zorvex.*.pid_%08X.log.bin" % pid)
        if not os.path.isdir("/log") or not CLOGCAT:
            return None
        self.assertEqual(len(files), 1, "one trace log file per process")
        out = subprocess.run([CLOGCAT, files[0]], capture_output=True, check=True)
        if self.made_log_dir:
            os.remove(files[0])
        return out.stdout.decode("utf-8", errors="replace")


if __name__ == "__main__":
    unittest.main(verbosity=2)
