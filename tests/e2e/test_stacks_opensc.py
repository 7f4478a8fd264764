# SPDX-License-Identifier: MIT
# The real window on OpenSC's module through pcscd: a reader without a card, and no PC/SC service.
"""Runs inside `pcscd-reader.sh run` (class NoCard: pcscd with vpcd's two empty slots) or
`pcscd-reader.sh run --without-pcscd` (class NoReader), see tests/fixtures; the fixture
provides PKCS11_MODULE and PCSCD. Each class checks that it runs where it belongs."""

import os
import unittest

import shown_texts as shown
from stacks_e2e import StackCase


class OpenscCase(StackCase):
    pcscd = None

    def setUp(self):
        super().setUp()
        if os.environ.get("PCSCD") != self.pcscd:
            self.fail("run inside pcscd-reader.sh with pcscd %s (PCSCD)" % self.pcscd)


class NoCard(OpenscCase):
    pcscd = "running"

    def test_reader_without_card(self):
        p = self.program("opensc-nocard")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())
        self.assertIn("PKCS11-2: '%s'" % self.module, p.stderr())

        p.press("Info")
        self.expect_box(p, shown.NO_CARD, "info-no-card")
        # An operation asks the card only when its fields are filled in; then the same box.
        self.operate(p, "Change PIN", ("73915",) * 3, shown.NO_CARD, "change-pin-no-card", wid)

        self.assertIsNotNone(p.find_window("Pin Manager"))
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0, p.stderr())


class NoReader(OpenscCase):
    pcscd = "absent"

    def test_no_pcsc_service(self):
        p = self.program("opensc-noreader")
        kind, text, alert = p.box()
        self.assertEqual(text, shown.NO_READER, p.stderr())
        self.assertTrue(p.stays_without(lambda: p.find_window("Pin Manager"), 0.5))
        p.answer_box(alert, "no-reader-box")
        self.assertEqual(p.wait_exit(), 1, p.stderr())


if __name__ == "__main__":
    unittest.main(verbosity=2)
