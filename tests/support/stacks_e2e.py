# SPDX-License-Identifier: MIT
# What the tests on third-party PKCS#11 stacks share: the program started on the fixture's module.
"""Each stack fixture in tests/fixtures runs the test with PKCS11_MODULE set to its module."""

import os

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
