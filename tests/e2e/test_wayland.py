# SPDX-License-Identifier: MIT
"""The GTK 3 program on a Wayland desktop with no X server at all (weston-display.sh): it shows
its dialog, and a holder changes the PIN, meets "Wrong PIN" and reads Info, all through the
accessibility bus, since nothing of X is there to type or click with."""

import os
import unittest

import shown_texts as shown
from pinman_e2e import PAGE_FIELDS, Program, ProgramCase


class Wayland(ProgramCase):
    def test_holder_flows_without_x(self):
        self.assertNotIn("DISPLAY", os.environ, "run inside weston-display.sh")
        p = Program("wayland")
        self.addCleanup(p.stop)
        p.start()
        p.showing_frame()
        self.assertEqual(p.tabs(), ["Change PIN", "Unblock PIN", "Change PUK"])
        self.operate(p, "Change PIN", ("1234", "86420", "86420"), shown.SUCCESS)
        self.assertEqual(p.card.value("pin"), "86420")
        self.operate(p, "Change PIN", ("1234", "97531", "97531"), shown.WRONG_PIN)
        self.assertEqual(p.card.value("pin_tries"), "2")
        info = p.info()
        self.assertEqual((info["label"].rstrip(), info["pin_status"]), ("Demo Card", shown.WRONG_TRY_MADE))
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)
        self.assertNotIn("cannot open display", p.stderr())


if __name__ == "__main__":
    unittest.main(verbosity=2)
