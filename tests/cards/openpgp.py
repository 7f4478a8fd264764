#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# An emulated OpenPGP card (application version 3.4) for vpcd: PW1, PW3, the resetting code, a certificate.
"""The OpenPGP smart card application 3.4, as far as a card holder's PIN tool and OpenSC's
openpgp driver reach it: SELECT, GET DATA of the application related data (6E) and its
parts, the PW status bytes (C4), the cardholder certificate (7F21, with SELECT DATA) and the
other data objects OpenSC reads; VERIFY of PW1 (81, 82) and PW3 (83) with the status query
by an empty VERIFY; CHANGE REFERENCE DATA of PW1 (81) and PW3 (83); RESET RETRY COUNTER
with the resetting code (P1 = 00) and after PW3 (P1 = 02). The authentication key is the
certificate's: its fingerprint is set and GENERATE ASYMMETRIC KEY PAIR reads its public key
(P1 = 81); the card generates no key and signs nothing.

State file keys: pw1, rc (the resetting code, "" when not set), pw3 (texts), pw1_tries,
rc_tries, pw3_tries (tries left, 3 at most), serial (8 hex digits), cert (hex DER).
Usage: see vcard.main; --pin sets PW1, --puk PW3 (the Admin PIN) and --resetting-code the
resetting code (none by default)."""

import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vcard  # noqa: E402
from vcard import SW_BLOCKED, SW_NO_DATA, SW_OK, SW_SECURITY, SW_WRONG_DATA, tlv  # noqa: E402

RID_APP = bytes.fromhex("D27600012401")
MAX_TRIES = 3
# Shortest value each secret may take: PW1 6, PW3 8, the resetting code 8.
MIN_LENGTH = {"pw1": 6, "pw3": 8, "rc": 8}
# The key references VERIFY and CHANGE REFERENCE DATA take, and their secret.
REFERENCES = {0x81: "pw1", 0x82: "pw1", 0x83: "pw3"}
HISTORICAL = bytes.fromhex("0073000000059000")  # no command chaining, no extended lengths
RSA2048 = bytes.fromhex("010800002000")


class OpenpgpCard(vcard.Card):
    def power(self):
        super().power()
        self.verified = set()  # the references verified since the last SELECT
        self.occurrence = 0  # of the cardholder certificate, chosen by SELECT DATA

    def aid(self):
        return RID_APP + b"\x03\x04" + b"\xFF\x00" + bytes.fromhex(self.state["serial"]) + b"\x00\x00"

    def pw_status(self):
        s = self.state
        return bytes([0x01, 0x20, 0x20, 0x20, s["pw1_tries"], s["rc_tries"], s["pw3_tries"]])

    def public_key(self):
        """The certificate's RSA key: (modulus, public exponent), unsigned big-endian."""
        cert = bytes.fromhex(self.state["cert"])
        tbs = vcard.parse_tlv(vcard.parse_tlv(cert)[0][1])[0][1]
        spki = vcard.parse_tlv(tbs)[6][1]
        rsa_key = vcard.parse_tlv(spki)[1][1][1:]  # the BIT STRING without its unused-bits byte
        n, e = (value for _, value in vcard.parse_tlv(vcard.parse_tlv(rsa_key)[0][1]))
        return n.lstrip(b"\x00"), e

    def data_objects(self):
        caps = bytes.fromhex("00000000080000FF0000")
        # Signature, decryption and authentication key: only the last is there.
        fingerprints = bytes(40) + hashlib.sha1(b"".join(self.public_key())).digest()
        dates = bytes(8) + bytes.fromhex("5F5E1000")
        discretionary = (tlv(0xC0, caps) + tlv(0xC1, RSA2048) + tlv(0xC2, RSA2048) + tlv(0xC3, RSA2048) +
                         tlv(0xC4, self.pw_status()) + tlv(0xC5, fingerprints) + tlv(0xC6, bytes(60)) +
                         tlv(0xCD, dates))
        objects = {
            0x004F: self.aid(), 0x5F52: HISTORICAL, 0x00C4: self.pw_status(), 0x00C0: caps,
            0x00C5: fingerprints, 0x00C6: bytes(60), 0x00CD: dates,
            0x0065: tlv(0x5B, b"") + tlv(0x5F2D, b"en") + tlv(0x5F35, b"9"),
            0x007A: tlv(0x93, bytes(3)), 0x5F50: b"", 0x005E: b"",
            0x7F74: tlv(0x81, b"\x00"),
            # The card holds one certificate, the first occurrence; the others are empty.
            0x7F21: bytes.fromhex(self.state["cert"]) if self.occurrence == 0 else b"",
        }
        objects[0x006E] = (tlv(0x4F, self.aid()) + tlv(0x5F52, HISTORICAL) + tlv(0x7F74, objects[0x7F74]) +
                           tlv(0x73, discretionary))
        return objects

    def command(self, apdu):
        handler = {0xA4: self.select, 0xCA: self.get_data, 0xA5: self.select_data, 0x20: self.verify,
                   0x24: self.change, 0x2C: self.reset, 0x47: self.read_key}.get(apdu.ins)
        if handler is None:
            return b"", vcard.SW_BAD_INS
        return handler(apdu)

    def select(self, apdu):
        if apdu.p1 != 0x04 or not apdu.data.startswith(RID_APP):
            return b"", vcard.SW_NOT_FOUND
        self.verified = set()
        self.occurrence = 0
        return b"", SW_OK

    def get_data(self, apdu):
        value = self.data_objects().get(apdu.p1 << 8 | apdu.p2)
        return (b"", SW_NO_DATA) if value is None else (value, SW_OK)

    def select_data(self, apdu):
        # The cardholder certificate has three occurrences, one for each key.
        if apdu.p1 > 2 or apdu.data != bytes.fromhex("60045C027F21"):
            return b"", SW_NO_DATA
        self.occurrence = apdu.p1
        return b"", SW_OK

    def read_key(self, apdu):
        # Reading the public key of the authentication key (control reference template A4).
        if apdu.p1 != 0x81:
            return b"", vcard.SW_BAD_P1P2
        if apdu.data[:1] != b"\xA4":
            return b"", SW_NO_DATA
        n, e = self.public_key()
        return tlv(0x7F49, tlv(0x81, n) + tlv(0x82, e)), SW_OK

    def entry_of(self, key):
        return self.state[key].encode("utf-8")

    def max_tries(self, key):
        return MAX_TRIES

    def set_secret(self, key, value):
        if len(value) < MIN_LENGTH[key]:
            return b"", SW_WRONG_DATA
        self.state[key] = value.decode("utf-8")
        self.state[key + "_tries"] = MAX_TRIES
        self.save()
        return b"", SW_OK

    def verify(self, apdu):
        key = REFERENCES.get(apdu.p2)
        if key is None:
            return b"", SW_NO_DATA
        if apdu.p1 == 0xFF:  # reset the verification status
            self.verified.discard(apdu.p2)
            return b"", SW_OK
        if not apdu.data:  # the status query
            if self.state[key + "_tries"] == 0:
                return b"", SW_BLOCKED
            return b"", SW_OK if apdu.p2 in self.verified else vcard.tries_left(self.state[key + "_tries"])
        self.verified.discard(apdu.p2)
        answer = self.check(key, apdu.data)
        if answer:
            return answer
        self.verified.add(apdu.p2)
        return b"", SW_OK

    def change(self, apdu):
        key = REFERENCES.get(apdu.p2) if apdu.p2 != 0x82 else None
        if key is None:
            return b"", SW_NO_DATA
        # The old value is as long as the secret held; the rest is the new one.
        n = len(self.state[key].encode("utf-8"))
        answer = self.check(key, apdu.data[:n])
        if answer:
            return answer
        return self.set_secret(key, apdu.data[n:])

    def reset(self, apdu):
        if apdu.p2 != 0x81:
            return b"", SW_NO_DATA
        if apdu.p1 == 0x02:  # after PW3
            if 0x83 not in self.verified:
                return b"", SW_SECURITY
            return self.set_secret("pw1", apdu.data)
        if apdu.p1 != 0x00:
            return b"", vcard.SW_BAD_P1P2
        if not self.state["rc"]:
            return b"", SW_SECURITY
        n = len(self.state["rc"].encode("utf-8"))
        answer = self.check("rc", apdu.data[:n])
        if answer:
            return answer
        return self.set_secret("pw1", apdu.data[n:])


def initial_state(args):
    rc = args.resetting_code or ""
    return {"pw1": args.pin or "123456", "pw3": args.puk or "12345678", "rc": rc, "pw1_tries": MAX_TRIES,
            "rc_tries": MAX_TRIES if rc else 0, "pw3_tries": MAX_TRIES, "serial": args.serial or "0000A001"}


if __name__ == "__main__":
    sys.exit(vcard.main(OpenpgpCard, initial_state, ["--resetting-code"]))
