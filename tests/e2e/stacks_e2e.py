# SPDX-License-Identifier: MIT
# What the tests on third-party PKCS#11 stacks share: the program on the fixture's module, and reading boxes.
"""Each stack fixture in tests/fixtures runs the test with PKCS11_MODULE set to its module."""

import os
import unittest

from pinman_e2e import PROGRAM_ONLY, Program


class StackCase(unittest.TestCase):
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

    def expect_box(self, p, text, shot):
        """The open box reads `text`; answers it, keeping a screenshot named `shot`."""
        kind, seen, alert = p.box()
        self.assertEqual(seen, text, p.stderr())
        p.answer_box(alert, shot)
