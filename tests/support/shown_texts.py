# SPDX-License-Identifier: MIT
"""The texts the program shows, as the tests expect them, read from shown_texts.txt beside this
file (the one list the C++ tests read too): WRONG_PIN, SUCCESS, PIN_OK, ..."""

import os
import re

_LINE = re.compile(r'([A-Z0-9_]+) = "([^"\\]*(?:\\n[^"\\]*)*)"')


def _read(path):
    texts = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            match = _LINE.fullmatch(line)
            if not match:
                raise ValueError('%s:%d: not \'NAME = "text"\'' % (path, number))
            texts[match.group(1)] = match.group(2).replace("\\n", "\n")
    return texts


globals().update(_read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "shown_texts.txt")))
