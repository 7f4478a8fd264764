# SPDX-License-Identifier: MIT
# The holder's flows through the real window on emulated PIV and OpenPGP cards, through OpenSC, pcscd and vpcd.
"""Runs inside `pcscd-reader.sh run [--opensc-example FILE] --card piv|openpgp ...` (see
tests/fixtures), which provides PKCS11_MODULE, OPENSC_CONF and CARDn_STATE, the card's own
state file. The class Piv or Openpgp goes with the card in the first slot; TwoCards with a
card in each slot. OpenSC runs as installed (no settings) or with the settings of
packaging/opensc-pin-manager.conf.example, and each flow asserts the box the holder really
gets under them. After every step the card's own state tells what the card did, tries left
included; at the end the PIN the card holds verifies on the card itself."""

import json
import os
import re
import subprocess
import unittest

import shown_texts as shown
from stacks_e2e import StackCase

# The example the package ships (a copy of it where the test runs as an ordinary user).
EXAMPLE = os.environ["PINMAN_OPENSC_EXAMPLE"]
# The fixture's card options (see tests/e2e/CMakeLists.txt): PIN, PUK, the OpenPGP card's
# resetting code, the certificate's name; the certificate ends an hour after the card was made.
PIN, PUK, RESETTING_CODE = "123456", "12345678", "24681357"
NEW_PIN, WRONG_PIN, UNBLOCKED_PIN, NEW_PUK, WRONG_PUK = "826401", "192837", "460579", "93718264", "55512345"
SHORT_PIN = "73019"  # shorter than both cards allow
CHECK_EXPIRE = "checkexpire=86400\n"

# PIN status on Info after 0, 1, 2 and 3 wrong PINs: OpenSC reports the final try and the
# lock from the card's try counter, never "count low".
PIN_STATUS = [shown.PIN_OK, shown.PIN_OK, shown.LAST_TRY_LEFT, shown.PIN_LOCKED]


def example_settings():
    """The settings lines of the example file, without their "#"."""
    with open(EXAMPLE, encoding="utf-8") as f:
        return re.findall(r"^#\s+([a-z_]+ = [a-z_0-9]+;)$", f.read(), re.M)


class CardCase(StackCase):
    """The holder's flows on the card in the fixture's first slot."""

    kind = None  # piv or openpgp
    # The card family's state keys: the PIN and the program's PUK.
    pin_key = puk_key = None
    # How many slots OpenSC shows for the card; Info's fixed fields for it; the common name
    # of its certificate (the fixture's --cert-name).
    slots = label = pin_lengths = serial = cert_name = None

    def setUp(self):
        super().setUp()
        self.state_path = os.environ.get("CARD0_STATE", "")
        conf = os.environ.get("OPENSC_CONF", "")
        if not (self.state_path and conf):
            self.fail("run inside pcscd-reader.sh with a card (CARD0_STATE, OPENSC_CONF)")
        with open(conf, encoding="utf-8") as f:
            settings = re.findall(r"[a-z_]+ = [a-z_0-9]+;", f.read())
        # Either OpenSC as installed, or the very lines the package ships.
        self.assertIn(settings, ([], example_settings()), conf)
        self.assertTrue(example_settings(), EXAMPLE)
        self.with_settings = bool(settings)

    def assert_card(self, **expected):
        """The card's own state has these values (secrets and tries left)."""
        with open(self.state_path, encoding="utf-8") as f:
            state = json.load(f)
        self.assertEqual({k: state[k] for k in expected}, expected)

    def slot_count(self):
        """How many slots OpenSC's module shows for the first reader."""
        out = subprocess.run(["pkcs11-tool", "--module", self.module, "--list-slots"], capture_output=True,
                             text=True, check=True).stdout
        return len(re.findall(r"^Slot \d+ .*: Virtual PCD 00 00$", out, re.M))

    def card_answers(self, apdus):
        """The status word of the last of `apdus`, sent to the card in the first slot."""
        command = ["opensc-tool", "--reader", "0"]
        for apdu in apdus:
            command += ["--send-apdu", apdu]
        out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
        return re.findall(r"SW1=0x([0-9a-f]{2}), SW2=0x([0-9a-f]{2})", out)[-1]

    def start(self, name):
        """The program with the certificate check: the expiring certificate's box, then the window."""
        p = self.program(name, CHECK_EXPIRE)
        kind, text, alert = p.box()
        self.assertEqual(text.rstrip("\n"), shown.CERTIFICATES_STATUS + shown.EXPIRING_LINE + "'%s'" % self.cert_name,
                         p.stderr())
        self.assertTrue(p.stays_without(lambda: p.find_window("Pin Manager"), 0.3), "the dialog waits for the box")
        p.answer_box(alert, "certificate-warning")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())
        return p, wid

    def holder_flows(self):
        pin_tries, puk_tries = self.pin_key + "_tries", self.puk_key + "_tries"
        # One card: OpenSC shows an OpenPGP card in a slot per PIN, the program one card.
        self.assertEqual(self.slot_count(), self.slots)
        p, wid = self.start(self.kind)

        fields = p.info("info-fresh")
        self.assertEqual({name: fields[name].rstrip() for name in ("label", "serial", "model", "reader")},
                         {"label": self.label, "serial": self.serial, "model": "PKCS#15 emulated",
                          "reader": "Virtual PCD 00 00"})
        self.assertEqual((fields["min_pin"], fields["max_pin"]), self.pin_lengths)
        self.assertEqual((fields["pin_status"], fields["puk_status"]), (shown.PIN_OK, shown.PUK_OK))

        self.operate(p, "Change PIN", (PIN, NEW_PIN, NEW_PIN), shown.SUCCESS, "pin-changed", wid)
        self.assert_card(**{self.pin_key: NEW_PIN, pin_tries: 3})
        # New PINs that OpenSC's module refuses itself, after a good login: no try is used. A
        # short one is out of the length range (the "wrong PIN" box), and a PIV PIN holds
        # digits only (CKR_DATA_INVALID).
        for new, box in self.refused_new_pins:
            self.operate(p, "Change PIN", (NEW_PIN, new, new), box, "pin-refused", wid)
            self.assert_card(**{self.pin_key: NEW_PIN, pin_tries: 3})

        # Three wrong PINs: each costs one try, Info shows the count; then even the right one is refused.
        for wrong in (1, 2, 3):
            self.operate(p, "Change PIN", (WRONG_PIN, PIN, PIN), shown.WRONG_PIN, "wrong-pin-%d" % wrong, wid)
            self.assert_card(**{self.pin_key: NEW_PIN, pin_tries: 3 - wrong})
            fields = p.info("info-after-%d-wrong" % wrong)
            self.assertEqual((fields["pin_status"], fields["puk_status"]), (PIN_STATUS[wrong], shown.PUK_OK))
        self.operate(p, "Change PIN", (NEW_PIN, PIN, PIN), shown.PIN_BLOCKED, "pin-blocked", wid)
        self.assert_card(**{self.pin_key: NEW_PIN, pin_tries: 0, puk_tries: 3})

        self.unblock_and_change_puk(p, wid)

        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0, p.stderr())
        err = p.stderr()
        for secret in (PIN, NEW_PIN, WRONG_PIN, UNBLOCKED_PIN, PUK, NEW_PUK, WRONG_PUK, RESETTING_CODE):
            self.assertNotIn(secret, err)


class Piv(CardCase):
    kind, pin_key, puk_key = "piv", "pin", "puk"
    cert_name = "Alice.Piv"
    slots, label = 1, cert_name
    pin_lengths, serial = ("4", "8"), "000000000000a001"
    refused_new_pins = ((SHORT_PIN, shown.WRONG_PIN), ("abcdef", shown.COMMUNICATION))

    def verifies(self, pin):
        select = "00 A4 04 00 09 A0 00 00 03 08 00 00 10 00"
        block = (pin.encode() + b"\xFF" * 8)[:8].hex()
        return self.card_answers([select, "00 20 00 80 08 " + block]) == ("90", "00")

    def unblock_and_change_puk(self, p, wid):
        # OpenSC logs in as security officer with VERIFY of the PUK, which a PIV card refuses:
        # nothing reaches the PUK, right or wrong, and no try is used.
        for puk, shot in ((PUK, "unblock-refused"), (WRONG_PUK, "unblock-wrong-puk-refused")):
            self.operate(p, "Unblock PIN", (puk, UNBLOCKED_PIN, UNBLOCKED_PIN), shown.COMMUNICATION, shot, wid)
            self.assert_card(pin=NEW_PIN, pin_tries=0, puk=PUK, puk_tries=3)
        for puk, shot in ((PUK, "change-puk-refused"), (WRONG_PUK, "change-puk-wrong-puk-refused")):
            self.operate(p, "Change PUK", (puk, NEW_PUK, NEW_PUK), shown.COMMUNICATION, shot, wid)
            self.assert_card(puk=PUK, puk_tries=3)
        fields = p.info("info-still-locked")
        self.assertEqual((fields["pin_status"], fields["puk_status"]), (shown.PIN_LOCKED, shown.PUK_OK))

    def test_holder_flows(self):
        self.holder_flows()
        # The route that works: OpenSC's own tool, RESET RETRY COUNTER and CHANGE REFERENCE DATA.
        subprocess.run(["pkcs15-tool", "--unblock-pin", "--puk", PUK, "--new-pin", UNBLOCKED_PIN], check=True,
                       capture_output=True)
        self.assert_card(pin=UNBLOCKED_PIN, pin_tries=3, puk_tries=3)
        subprocess.run(["pkcs15-tool", "--change-pin", "--auth-id", "02", "--pin", PUK, "--new-pin", NEW_PUK],
                       check=True, capture_output=True)
        self.assert_card(puk=NEW_PUK, puk_tries=3)
        self.assertTrue(self.verifies(UNBLOCKED_PIN))


class Openpgp(CardCase):
    kind, pin_key, puk_key = "openpgp", "pw1", "pw3"
    cert_name = "Bob.Openpgp"
    slots, label = 2, "OpenPGP card (User PIN)"
    pin_lengths, serial = ("6", "32"), "ff000000a001"
    refused_new_pins = ((SHORT_PIN, shown.WRONG_PIN),)

    def verifies(self, pin):
        return self.card_answers(["00 A4 04 00 06 D2 76 00 01 24 01",
                                  "00 20 00 82 %02X %s" % (len(pin), pin.encode().hex())]) == ("90", "00")

    def unblock_and_change_puk(self, p, wid):
        # The login as security officer checks the Admin PIN (PW3); OpenSC then unblocks PW1
        # only with user_pin_unblock_style = init_pin_in_so_session.
        self.operate(p, "Unblock PIN", (WRONG_PUK, UNBLOCKED_PIN, UNBLOCKED_PIN), shown.WRONG_PUK,
                     "unblock-wrong-puk", wid)
        self.assert_card(pw1_tries=0, pw3=PUK, pw3_tries=2)
        if self.with_settings:
            self.operate(p, "Unblock PIN", (PUK, UNBLOCKED_PIN, UNBLOCKED_PIN), shown.SUCCESS, "unblocked", wid)
            self.assert_card(pw1=UNBLOCKED_PIN, pw1_tries=3, pw3_tries=3)
            expected_pin, status = UNBLOCKED_PIN, shown.PIN_OK
        else:
            self.operate(p, "Unblock PIN", (PUK, UNBLOCKED_PIN, UNBLOCKED_PIN), shown.COMMUNICATION, "unblock-refused", wid)
            self.assert_card(pw1=NEW_PIN, pw1_tries=0, pw3_tries=3)
            expected_pin, status = NEW_PIN, shown.PIN_LOCKED
        fields = p.info("info-after-unblock")
        self.assertEqual((fields["pin_status"], fields["puk_status"]), (status, shown.PUK_OK))

        # Change PUK changes the Admin PIN.
        self.operate(p, "Change PUK", (WRONG_PUK, NEW_PUK, NEW_PUK), shown.WRONG_PUK, "change-puk-wrong-puk", wid)
        self.assert_card(pw3=PUK, pw3_tries=2)
        self.operate(p, "Change PUK", (PUK, NEW_PUK, NEW_PUK), shown.SUCCESS, "puk-changed", wid)
        self.assert_card(pw1=expected_pin, pw3=NEW_PUK, pw3_tries=3)
        self.expected_pin = expected_pin

    def test_holder_flows(self):
        self.holder_flows()
        if not self.with_settings:
            self.assertEqual(self.card_answers(["00 A4 04 00 06 D2 76 00 01 24 01", "00 20 00 82"]), ("69", "83"))
            # The route that works as installed, for a card with a resetting code: OpenSC's
            # own tool, RESET RETRY COUNTER with the resetting code.
            subprocess.run(["pkcs15-tool", "--unblock-pin", "--puk", RESETTING_CODE, "--new-pin", UNBLOCKED_PIN],
                           check=True, capture_output=True)
            self.assert_card(pw1=UNBLOCKED_PIN, pw1_tries=3, rc_tries=3, pw3=NEW_PUK, pw3_tries=3)
            self.expected_pin = UNBLOCKED_PIN
        self.assertTrue(self.verifies(self.expected_pin))


class TwoCards(StackCase):
    """Two cards of the same kind and serial number, one in each of the reader's slots: only
    the slot description tells them apart."""

    def test_two_cards_are_several(self):
        paths = [os.environ.get("CARD0_STATE", ""), os.environ.get("CARD1_STATE", "")]
        if not all(paths):
            self.fail("run inside pcscd-reader.sh with two cards (CARD0_STATE, CARD1_STATE)")
        out = subprocess.run(["pkcs11-tool", "--module", self.module, "--list-slots"], capture_output=True,
                             text=True, check=True).stdout
        self.assertEqual(len(re.findall(r"^Slot \d+ .*: Virtual PCD 00 0[01]$", out, re.M)), 2, out)
        serials = re.findall(r"serial num\s*: (\S+)", out)
        self.assertEqual(serials, serials[:1] * 2, out)
        p = self.program("two-cards", CHECK_EXPIRE)
        self.expect_box(p, shown.SEVERAL_CARDS, "several-cards-at-start")
        wid = p.window("Pin Manager")
        self.assertIsNotNone(wid, p.stderr())
        p.press("Info")
        self.expect_box(p, shown.SEVERAL_CARDS, "several-cards-on-info")
        self.operate(p, "Change PIN", (PIN, NEW_PIN, NEW_PIN), shown.SEVERAL_CARDS, "several-cards-on-change-pin", wid)
        p.press("Cancel")
        self.assertEqual(p.wait_exit(), 0, p.stderr())
        for path in paths:
            with open(path, encoding="utf-8") as f:
                state = json.load(f)
            self.assertEqual((state["pin"], state["pin_tries"]), (PIN, 3), path)


if __name__ == "__main__":
    unittest.main(verbosity=2)
