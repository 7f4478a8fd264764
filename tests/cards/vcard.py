# SPDX-License-Identifier: MIT
# What the emulated cards share: the line to vpcd, APDUs and TLVs, the state file and the certificate.
"""An emulated card is the card in one slot of vsmartcard's virtual reader (vpcd): it connects
to vpcd over TCP on localhost (port 35963 for the reader's first slot, 35964 for the second)
and then answers what vpcd sends. Every message, both ways, is a 2-byte big-endian length and
that many bytes. A 1-byte message from vpcd is a control code (0 power off, 1 power on,
2 reset, 4 send the ATR); any longer one is a command APDU, answered with the response APDU.

A card keeps its PINs, try counters and certificate in a JSON state file that it writes back
(through a temporary file and a rename) after every change, so a test reads the card's own
state while the card runs or after it has ended."""

import argparse
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

# 3B 80 80 01 01 and its check byte: T=1, no other interface bytes. OpenSC picks the driver by
# selecting the application, not by the ATR.
ATR = bytes([0x3B, 0x80, 0x80, 0x01, 0x01, 0x80 ^ 0x80 ^ 0x01 ^ 0x01])

SW_OK = b"\x90\x00"
SW_WRONG_LENGTH = b"\x67\x00"
SW_SECURITY = b"\x69\x82"
SW_BLOCKED = b"\x69\x83"
SW_WRONG_DATA = b"\x6A\x80"
SW_NOT_FOUND = b"\x6A\x82"
SW_BAD_P1P2 = b"\x6A\x86"
SW_NO_DATA = b"\x6A\x88"
SW_BAD_INS = b"\x6D\x00"


def tries_left(n):
    """The status word of a wrong secret: 63 Cx, x the tries left."""
    return bytes([0x63, 0xC0 | min(n, 15)])


# --- TLV (BER) ------------------------------------------------------------------------

def tlv(tag, value):
    """One BER TLV: `tag` as an int of one or more bytes, the definite length, `value`."""
    tag_bytes = tag.to_bytes(max(1, (tag.bit_length() + 7) // 8), "big")
    n = len(value)
    if n < 0x80:
        length = bytes([n])
    elif n < 0x100:
        length = bytes([0x81, n])
    else:
        length = bytes([0x82, n >> 8, n & 0xFF])
    return tag_bytes + length + value


def parse_tlv(data):
    """The TLVs of `data` at one level, as (tag as int, value) pairs; stops at broken data."""
    out, i = [], 0
    while i < len(data):
        tag = data[i]
        i += 1
        if tag & 0x1F == 0x1F:  # more tag bytes follow while bit 8 is set
            while i < len(data):
                tag = tag << 8 | data[i]
                i += 1
                if not data[i - 1] & 0x80:
                    break
        if i >= len(data):
            break
        n = data[i]
        i += 1
        if n & 0x80:
            k = n & 0x7F
            n = int.from_bytes(data[i:i + k], "big")
            i += k
        out.append((tag, data[i:i + n]))
        i += n
    return out


# --- APDUs ----------------------------------------------------------------------------

class Apdu:
    """A command APDU of the short or the extended form: cla, ins, p1, p2, data."""

    def __init__(self, raw):
        self.cla, self.ins, self.p1, self.p2 = raw[0], raw[1], raw[2], raw[3]
        body = raw[4:]
        self.data = b""
        if len(body) > 1 and body[0] == 0 and len(body) >= 3:  # extended: 00 Lc1 Lc2 data [Le]
            n = body[1] << 8 | body[2]
            if len(body) >= 3 + n and n > 0:
                self.data = body[3:3 + n]
        elif len(body) > 1:  # short: Lc data [Le]
            self.data = body[1:1 + body[0]]


class Card:
    """The part of a card that every application shares: power, the response chain of
    data longer than one short response (61 xx and GET RESPONSE) and the state file."""

    def __init__(self, state_path):
        self.state_path = state_path
        with open(state_path, encoding="utf-8") as f:
            self.state = json.load(f)
        self.power()

    def power(self):
        """Power on or reset: nothing selected, nothing verified."""
        self.pending = b""

    def save(self):
        save_state(self.state_path, self.state)

    def respond(self, raw):
        if len(raw) < 4:
            return SW_WRONG_LENGTH
        apdu = Apdu(raw)
        if apdu.ins == 0xC0:  # GET RESPONSE
            return self.chunk(self.pending)
        self.pending = b""
        if apdu.cla & 0x10:  # command chaining is not supported
            return b"\x68\x84"
        data, sw = self.command(apdu)
        return self.chunk(data) if sw == SW_OK else data + sw

    def chunk(self, data):
        """Up to 256 bytes of `data` and 90 00, or 61 xx while more remains."""
        head, self.pending = data[:256], data[256:]
        if not self.pending:
            return head + SW_OK
        return head + bytes([0x61, min(len(self.pending), 256) & 0xFF])

    def command(self, apdu):
        """(response data, status word) of one APDU; each application has its own."""
        raise NotImplementedError

    def check(self, key, entry):
        """None when `entry` is the secret `key` (its tries restored, max_tries(key)), else the
        answer: blocked, or one try less, written at once; entry_of(key) is the secret as sent."""
        tries = key + "_tries"
        if self.state[tries] == 0:
            return b"", SW_BLOCKED
        if entry != self.entry_of(key):
            self.state[tries] -= 1
            self.save()
            return b"", tries_left(self.state[tries])
        if self.state[tries] != self.max_tries(key):
            self.state[tries] = self.max_tries(key)
            self.save()
        return None


# --- the state file ---------------------------------------------------------------------

def save_state(path, state):
    """Writes `state` as JSON, readable by all, through a temporary file beside `path` and a rename."""
    fd, tmp = tempfile.mkstemp(prefix=os.path.basename(path) + ".", dir=os.path.dirname(path) or ".")
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(state, f, indent=1, sort_keys=True)
        f.write("\n")
        os.fchmod(f.fileno(), 0o644)  # a test run by another user reads it too
    os.replace(tmp, path)


# --- the certificate --------------------------------------------------------------------

def _oid(text):
    parts = [int(p) for p in text.split(".")]
    out = bytes([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        enc = [p & 0x7F]
        p >>= 7
        while p:
            enc.append(0x80 | (p & 0x7F))
            p >>= 7
        out += bytes(reversed(enc))
    return tlv(0x06, out)


def _utc_time(t):
    """UTCTime (years 1950 to 2049) or GeneralizedTime for a time in seconds since the epoch."""
    tm = time.gmtime(t)
    if 1950 <= tm.tm_year < 2050:
        return tlv(0x17, time.strftime("%y%m%d%H%M%SZ", tm).encode())
    return tlv(0x18, time.strftime("%Y%m%d%H%M%SZ", tm).encode())


def make_certificate(common_name, not_before, not_after):
    """A self-signed X.509 certificate (DER) with an RSA 2048 key made for it, subject and
    issuer CN=`common_name`, valid from `not_before` to `not_after` (seconds since the epoch).
    The key and the signature come from the openssl command; raises CalledProcessError
    when it fails."""
    with tempfile.TemporaryDirectory(prefix="vcard-cert.") as d:
        key = os.path.join(d, "key.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                        "-out", key], check=True, capture_output=True)
        spki = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"], check=True,
                              capture_output=True).stdout
        algorithm = tlv(0x30, _oid("1.2.840.113549.1.1.11") + b"\x05\x00")  # sha256WithRSAEncryption
        name = tlv(0x30, tlv(0x31, tlv(0x30, _oid("2.5.4.3") + tlv(0x0C, common_name.encode()))))
        serial = int(time.time() * 1000) & 0x7FFFFFFFFFFF
        tbs = tlv(0x30, tlv(0xA0, tlv(0x02, b"\x02")) + tlv(0x02, serial.to_bytes(6, "big")) + algorithm +
                  name + tlv(0x30, _utc_time(not_before) + _utc_time(not_after)) + name + spki)
        signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=tbs, check=True,
                                   capture_output=True).stdout
    return tlv(0x30, tbs + algorithm + tlv(0x03, b"\x00" + signature))


# --- the line to vpcd -------------------------------------------------------------------

def _read_exact(sock, n):
    buf = b""
    while len(buf) < n:
        # vpcd writes a message's length and its bytes separately; an acknowledgement held
        # back by this side would hold the bytes back for tens of milliseconds.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        part = sock.recv(n - len(buf))
        if not part:
            return None
        buf += part
    return buf


def serve(card, port, timeout=10.0):
    """Connects to vpcd on localhost:`port` (waiting up to `timeout` seconds for it to
    listen) and answers it until vpcd closes the connection. Returns 0 then, 1 when vpcd
    never listened."""
    end = time.monotonic() + timeout
    while True:
        try:
            sock = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            if time.monotonic() > end:
                print("vcard: vpcd does not listen on port %d" % port, file=sys.stderr)
                return 1
            time.sleep(0.02)
    with sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while True:
            head = _read_exact(sock, 2)
            msg = head and _read_exact(sock, struct.unpack(">H", head)[0])
            if msg is None:
                return 0
            if len(msg) == 1:
                if msg[0] == 4:
                    reply = ATR
                else:  # power off, power on, reset
                    card.power()
                    continue
            else:
                reply = card.respond(msg)
            sock.sendall(struct.pack(">H", len(reply)) + reply)


def main(card_class, initial_state, options=()):
    """The command line of one emulated card:
        CARD.py --state FILE [--port PORT] [--pin P] [--puk P] [--serial S] [--cert-name CN]
                [--cert-not-before SECONDS] [--cert-not-after SECONDS]
    Makes FILE from `initial_state(args)` when it does not exist, with a certificate valid
    from now + SECONDS (default: a day ago) to now + SECONDS (default: in a year), then
    serves vpcd on PORT. `options` names further options of the card's own, each with a
    value."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--state", required=True)
    parser.add_argument("--port", type=int, default=35963)
    parser.add_argument("--pin")
    parser.add_argument("--puk")
    parser.add_argument("--serial")
    parser.add_argument("--cert-name", default="Holder")
    parser.add_argument("--cert-not-before", type=int, default=-86400)
    parser.add_argument("--cert-not-after", type=int, default=365 * 86400)
    for option in options:
        parser.add_argument(option)
    args = parser.parse_args()
    if not os.path.exists(args.state):
        now = int(time.time())
        state = initial_state(args)
        state["cert"] = make_certificate(args.cert_name, now + args.cert_not_before,
                                         now + args.cert_not_after).hex()
        save_state(args.state, state)
    return serve(card_class(args.state), args.port)
