# SPDX-License-Identifier: MIT
# The real window on p11-kit's proxy over two tokens: the several-cards warning at start and on Info.
"""Runs inside `p11kit-proxy.sh run` (see tests/fixtures), which provides PKCS11_MODULE, the
proxy module, showing exactly two tokens."""

import os
import sys
import unittest

from pinman_e2e import PROGRAM_ONLY, Program

SEVERAL_CARDS = "Warning: there are multipkle smart card inseted\nPlease inser just one card at time."


class TwoTokens(unittest.TestCase):
    def expect_box(self, p, text, shot):
        kind, seen, alert = p.box()
        self.assertEqual(seen, text, p.stderr())
        p.answer_box(alert, shot)

    def test_several_cards_at_start_and_on_info(self):
        module = os.environ.get("PKCS11_MODULE", "")
        if "p11-kit-proxy" not in module:
            self.fail("run inside p11kit-proxy.sh (PKCS11_MODULE is %r)" % module)
        # The certificate check at start asks for the one card.
        p = Program("p11kit-two", conf="pkcs11=%s\ncheckexpire=86400\n" % module, files=PROGRAM_ONLY,
                    simulated_card=False)
        self.addCleanup(p.stop)
        p.start()
        self.expect_box(p, SEVERAL_CARDS, "several-cards-at-start")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())

        p.press("Info")
        self.expect_box(p, SEVERAL_CARDS, "several-cards-on-info")
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0)


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    unittest.main(verbosity=2)
