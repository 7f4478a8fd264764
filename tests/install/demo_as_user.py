# SPDX-License-Identifier: MIT
"""The installed gtkzorvpin-demo, run by an ordinary user: the first run makes the user's card
in their data folder; the window shows the installed icon; a PIN change, a wrong PIN and
Info work through the window, what the boxes say is read through the accessibility bus, and
Escape ends the program as Cancel does.

Run as that user inside `with-xvfb.sh dbus-run-session -- python3 demo_as_user.py` with
PYTHONPATH naming tests/support; the package must be installed."""

import os
import subprocess
import unittest

import shown_texts as shown
from pinman_e2e import Card, Program, ProgramCase, accessibility_env

DEMO = "/usr/bin/gtkzorvpin-demo"
# The program that the command runs, built on GTK 2 or GTK 3.
DEMO_PROGRAM = "/usr/lib/gtkzorvpin/demo/gtkzorvpin"
CARD_DIR = os.path.join(os.environ.get("XDG_DATA_HOME") or os.path.expanduser("~/.local/share"),
                        "gtkzorvpin-demo")
PIN, NEW_PIN, WRONG_PIN = "1234", "58203", "97531"


class Demo(Program):
    """gtkzorvpin-demo as the user starts it: no folder of the test's own."""

    def __init__(self):
        super().__init__("demo", conf=None, files=[], simulated_card=False)
        self.card = Card(os.path.join(CARD_DIR, "simcard.state"))

    def start(self, extra_env=None):
        env = dict(os.environ, LANG="C.UTF-8", **accessibility_env(DEMO_PROGRAM))
        env.pop("LANGUAGE", None)
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen([DEMO], cwd="/", stderr=self._stderr, env=env)
        return self


class DemoAsUser(ProgramCase):
    def test_demo_card_flows(self):
        self.assertFalse(os.path.exists(CARD_DIR), "the user has a demo card before the first run")
        p = Demo()
        self.addCleanup(p.stop)
        p.start()
        # The new card's authentication certificate expires within the 30 days warned about.
        kind, text, alert = p.box()
        self.assertIsNotNone(text, p.stderr())
        self.assertIn(shown.EXPIRING_LINE, text)
        self.assertNotIn(shown.EXPIRED_LINE, text)
        p.answer_box(alert)
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())
        self.assertEqual(os.stat(p.card.path).st_uid, os.getuid())
        # The card is the user's alone: nobody else can read it or hold its lock.
        self.assertEqual(os.stat(CARD_DIR).st_mode & 0o7777, 0o700)
        self.assertEqual(os.stat(p.card.path).st_mode & 0o7777, 0o600)
        # The window shows the installed icon, found by its name in the icon theme.
        icon = subprocess.run(["xprop", "-id", wid, "_NET_WM_ICON"], capture_output=True, text=True).stdout
        self.assertRegex(icon, r"_NET_WM_ICON\(CARDINAL\) = \s*Icon \(\d+ x \d+\):", "the window has no icon")

        self.operate(p, "Change PIN", (PIN, NEW_PIN, NEW_PIN), shown.SUCCESS, wid=wid)
        self.assertEqual(p.card.value("pin"), NEW_PIN)

        self.operate(p, "Change PIN", (WRONG_PIN, PIN, PIN), shown.WRONG_PIN, wid=wid)
        self.assertEqual(p.card.value("pin_tries"), "2")

        self.assertEqual(p.info()["pin_status"], shown.WRONG_TRY_MADE)

        # Escape does what Cancel does.
        p.key(wid, "Escape")
        self.assertEqual(p.wait_exit(), 0, p.stderr())


if __name__ == "__main__":
    unittest.main(verbosity=2)
