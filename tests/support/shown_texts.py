# SPDX-License-Identifier: MIT
"""The texts the program shows, as the tests expect them, read from shown_texts.txt beside this
file (the one list the C++ tests read too): WRONG_PIN, SUCCESS, PIN_OK, ..."""

import os


def _read(path):
    texts = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            name, sep, text = line.rstrip("\n").partition(" = ")
            if not sep or not name.isupper():
                raise ValueError("%s:%d: not 'NAME = text'" % (path, number))
            texts[name] = text.replace("\\n", "\n")
    return texts


globals().update(_read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "shown_texts.txt")))
