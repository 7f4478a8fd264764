# SPDX-License-Identifier: MIT
# The real window on p11-kit's proxy over two tokens: the several-cards warning at start and on Info.
"""Runs inside `p11kit-proxy.sh run` (see tests/fixtures), which provides PKCS11_MODULE, the
proxy module, showing exactly two tokens."""

import unittest

import shown_texts as shown
from stacks_e2e import StackCase


class TwoTokens(StackCase):
    def test_several_cards_at_start_and_on_info(self):
        if "p11-kit-proxy" not in self.module:
            self.fail("run inside p11kit-proxy.sh (PKCS11_MODULE is %r)" % self.module)
        # The certificate check at start asks for the one card.
        p = self.program("p11kit-two", "checkexpire=86400\n")
        self.expect_box(p, shown.SEVERAL_CARDS, "several-cards-at-start")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())

        p.press("Info")
        self.expect_box(p, shown.SEVERAL_CARDS, "several-cards-on-info")
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0, p.stderr())


if __name__ == "__main__":
    unittest.main(verbosity=2)
