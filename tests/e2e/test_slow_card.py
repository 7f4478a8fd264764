# SPDX-License-Identifier: MIT
"""The window while the card works: a card that takes 4 s to log in, and one that never answers.
The program loads the tests' delaying module (PINMAN_DELAY_MODULE), which passes each call to the
simulated card one at a time and sleeps before C_Login."""

import os
import time
import unittest

import pyatspi

import shown_texts as shown
from pinman_e2e import PAGE_FIELDS, Program, ProgramCase, do_action, find

DELAY_MODULE = os.environ.get("PINMAN_DELAY_MODULE", "")
PIN, NEW_PIN = "1234", "86420"


class SlowCard(ProgramCase):
    def start(self, name, seconds):
        p = Program(name, conf="pkcs11=%s\n" % DELAY_MODULE)
        self.addCleanup(p.stop)
        p.start({"P11DELAY_MODULE": os.path.join(p.dir, "libsimcard.so"), "P11DELAY_CALL": "C_Login",
                 "P11DELAY_SECONDS": seconds})
        wid = p.window("Pin Manager")
        p.fill(zip(PAGE_FIELDS["Change PIN"], (PIN, NEW_PIN, NEW_PIN)), wid)
        p.key(wid, "Return")
        return p, wid

    def assert_window_answers(self, p):
        """One second into the login: the window answers the accessibility bus at once, and its
        OK button and pages are insensitive."""
        time.sleep(1.0)
        asked = time.monotonic()
        ok = find(p.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PUSH_BUTTON and a.name == "OK")
        tabs = find(p.main_frame(), lambda a: a.getRole() == pyatspi.ROLE_PAGE_TAB_LIST)
        states = ok.getState(), tabs.getState()
        self.assertLess(time.monotonic() - asked, 1.5, "the window answered late")
        for state in states:
            self.assertFalse(state.contains(pyatspi.STATE_SENSITIVE))
        return ok

    def test_a_slow_login_keeps_the_window_alive_and_runs_once(self):
        p, wid = self.start("slow", "4")
        ok = self.assert_window_answers(p)
        # A second OK, by the button and by Enter, starts nothing.
        do_action(ok)
        p.key(wid, "Return")
        self.expect_box(p, shown.SUCCESS)
        self.assertEqual(p.card.value("pin"), NEW_PIN)
        trace = p.trace()
        self.assertEqual(trace.count("C_Login "), 1, trace)
        self.assertEqual(trace.count("C_SetPIN "), 1, trace)
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)

    def test_cancel_ends_the_program_while_the_card_never_answers(self):
        ways = {
            "Cancel": lambda p, wid: p.press("Cancel"),
            "Escape": lambda p, wid: p.key(wid, "Escape"),
            "close": lambda p, wid: p.close_window(wid),
        }
        for way, end in ways.items():
            with self.subTest(way=way):
                p, wid = self.start("stuck-" + way, "-1")
                self.assert_window_answers(p)
                asked = time.monotonic()
                end(p, wid)
                self.assertEqual(p.wait_exit(10), 0, p.stderr())
                self.assertLess(time.monotonic() - asked, 10)
                self.assertNotIn("C_CloseSession", p.trace(), "the module is not called again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
