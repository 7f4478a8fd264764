# SPDX-License-Identifier: MIT
# What the tests on third-party PKCS#11 stacks share: the program on the fixture's module, and reading boxes.
"""Each stack fixture in tests/fixtures runs the test with PKCS11_MODULE set to its module."""

import os
import subprocess

from pinman_e2e import PROGRAM_ONLY, Program, ProgramCase


class StackCase(ProgramCase):
    """A test of the real program on the module that the fixture provides."""

    def setUp(self):
        self.module = os.environ.get("PKCS11_MODULE", "")
        if not self.module:
            self.fail("run inside a fixture of tests/fixtures (PKCS11_MODULE is not set)")

    def program(self, name, conf=""):
        """Starts the program configured with the fixture's module and the lines `conf`."""
        p = Program(name, conf="pkcs11=%s\n%s" % (self.module, conf), files=PROGRAM_ONLY, simulated_card=False)
        self.addCleanup(p.stop)
        return p.start()

    def fill(self, p, wid, values):
        """Types each (label, value) into the field that the label names, replacing its text."""
        for label, value in values:
            p.click(p.field(label))
            p.key(wid, "ctrl+a", "BackSpace")
            subprocess.run(["xdotool", "windowfocus", "--sync", wid, "type", "--delay", "15", value], check=True)

    def info(self, p, shot):
        """Presses Info; the box's lines by their names (Label, PIN status, ...), answered."""
        p.press("Info")
        kind, text, alert = p.box()
        self.assertIsNotNone(text, p.stderr())
        lines = text.split("\n")
        self.assertEqual(lines[0], "Card Informations:", text)
        p.answer_box(alert, shot)
        fields = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
        return fields
