#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# An emulated PIV card (NIST SP 800-73-4) for vpcd: the PIN, the PUK and one certificate.
"""The card application of SP 800-73-4, as far as a card holder's PIN tool and OpenSC's PIV
driver reach it: SELECT, GET DATA of the CHUID, the CCC and the PIV Authentication
certificate (key 9A), VERIFY of the PIN (key reference 80) with the status query,
CHANGE REFERENCE DATA of the PIN (80) and the PUK (81), and RESET RETRY COUNTER. The PUK
is not a VERIFY key reference (SP 800-73-4 allows 00 and 80 only, 00 not held here), so
VERIFY of 81 answers 6A 88.

State file keys: pin, puk (texts), pin_tries, puk_tries (tries left), pin_max_tries,
puk_max_tries, guid (hex, the card's serial number), cert (hex DER). Usage: see vcard.main."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vcard  # noqa: E402
from vcard import SW_BLOCKED, SW_NO_DATA, SW_NOT_FOUND, SW_OK, SW_WRONG_DATA, SW_WRONG_LENGTH, tlv  # noqa: E402

AID = bytes.fromhex("A000000308000010000100")
PIN_REF, PUK_REF = 0x80, 0x81
# The key reference of each secret: its state keys.
SECRETS = {PIN_REF: "pin", PUK_REF: "puk"}

CHUID, CCC, AUTH_CERT = 0x5FC102, 0x5FC107, 0x5FC105


def padded(text):
    """A PIN or PUK as the card compares it: its bytes padded to 8 with FF."""
    raw = text.encode("latin-1")
    return raw + b"\xFF" * (8 - len(raw))


def unpadded(block):
    """The 8-byte reference data block without its FF padding, or None when malformed."""
    raw = block.rstrip(b"\xFF")
    if len(block) != 8 or b"\xFF" in raw:
        return None
    return raw.decode("latin-1")


def acceptable(ref, value):
    """SP 800-73-4: a PIN is 6 to 8 digits; a PUK is 8 bytes."""
    if value is None:
        return False
    if ref == PIN_REF:
        return 6 <= len(value) <= 8 and value.isdigit()
    return len(value) == 8


class PivCard(vcard.Card):
    def power(self):
        super().power()
        self.selected = False
        self.verified = False

    def objects(self):
        guid = bytes.fromhex(self.state["guid"])
        fasc_n = bytes.fromhex("D4E739DA739CED39CE739D836858210842108421C84210C3EB")
        chuid = tlv(0x30, fasc_n) + tlv(0x34, guid) + tlv(0x35, b"20301231") + tlv(0x3E, b"") + tlv(0xFE, b"")
        ccc = (tlv(0xF0, bytes.fromhex("A0000001160000") + guid[:14]) + tlv(0xF1, b"\x21") + tlv(0xF2, b"\x21") +
               tlv(0xF3, b"") + tlv(0xF4, b"\x00") + tlv(0xF5, b"\x10") + tlv(0xF6, b"") + tlv(0xF7, b"") +
               tlv(0xFA, b"") + tlv(0xFB, b"") + tlv(0xFC, b"") + tlv(0xFD, b"") + tlv(0xFE, b""))
        cert = tlv(0x70, bytes.fromhex(self.state["cert"])) + tlv(0x71, b"\x00") + tlv(0xFE, b"")
        return {CHUID: chuid, CCC: ccc, AUTH_CERT: cert}

    def command(self, apdu):
        if apdu.ins == 0xA4:
            return self.select(apdu)
        if not self.selected:
            return b"", b"\x69\x85"
        handler = {0xCB: self.get_data, 0x20: self.verify, 0x24: self.change, 0x2C: self.reset}.get(apdu.ins)
        if handler is None:
            return b"", vcard.SW_BAD_INS
        return handler(apdu)

    def select(self, apdu):
        # By the whole AID or a prefix of it (the version may be left out).
        if apdu.p1 != 0x04 or len(apdu.data) < 5 or not AID.startswith(apdu.data):
            return b"", SW_NOT_FOUND
        self.selected, self.verified = True, False
        template = tlv(0x4F, AID[5:]) + tlv(0x79, tlv(0x4F, AID[:5]))
        return tlv(0x61, template), SW_OK

    def get_data(self, apdu):
        fields = dict(vcard.parse_tlv(apdu.data))
        if (apdu.p1, apdu.p2) != (0x3F, 0xFF) or 0x5C not in fields:
            return b"", vcard.SW_BAD_P1P2
        tag = int.from_bytes(fields[0x5C], "big")
        body = self.objects().get(tag)
        if body is None:
            return b"", SW_NOT_FOUND
        return tlv(0x53, body), SW_OK

    def entry_of(self, key):
        return padded(self.state[key])

    def max_tries(self, key):
        return self.state[key + "_max_tries"]

    def verify(self, apdu):
        if apdu.p2 != PIN_REF:
            return b"", SW_NO_DATA
        if apdu.p1 == 0xFF:  # reset the security status
            self.verified = False
            return b"", SW_OK
        if not apdu.data:  # the status query
            if self.state["pin_tries"] == 0:
                return b"", SW_BLOCKED
            return b"", SW_OK if self.verified else vcard.tries_left(self.state["pin_tries"])
        if len(apdu.data) != 8:
            return b"", SW_WRONG_LENGTH
        self.verified = False
        answer = self.check("pin", apdu.data)
        if answer:
            return answer
        self.verified = True
        return b"", SW_OK

    def change(self, apdu):
        key = SECRETS.get(apdu.p2)
        if key is None:
            return b"", SW_NO_DATA
        if len(apdu.data) != 16:
            return b"", SW_WRONG_LENGTH
        new = unpadded(apdu.data[8:])
        answer = self.check(key, apdu.data[:8])
        if answer:
            return answer
        if not acceptable(apdu.p2, new):
            return b"", SW_WRONG_DATA
        self.state[key] = new
        self.save()
        return b"", SW_OK

    def reset(self, apdu):
        if apdu.p2 != PIN_REF:
            return b"", SW_NO_DATA
        if len(apdu.data) != 16:
            return b"", SW_WRONG_LENGTH
        new = unpadded(apdu.data[8:])
        answer = self.check("puk", apdu.data[:8])
        if answer:
            return answer
        if not acceptable(PIN_REF, new):
            return b"", SW_WRONG_DATA
        self.state.update(pin=new, pin_tries=self.state["pin_max_tries"])
        self.save()
        return b"", SW_OK


def initial_state(args):
    return {"pin": args.pin or "123456", "puk": args.puk or "12345678", "pin_tries": 3, "pin_max_tries": 3,
            "puk_tries": 3, "puk_max_tries": 3, "guid": args.serial or "5049564361726430000000000000A001"}


if __name__ == "__main__":
    sys.exit(vcard.main(PivCard, initial_state))
