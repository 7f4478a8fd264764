#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks that on each page of the dialog no two mnemonics clash, in the identifiers and in
every compiled catalogue: the page's labels and the buttons below the notebook, which are on
view with every page, each need a letter of their own.
Usage: check-mnemonics.py <interface file> <locale folder> <lang>..."""

import gettext
import os
import sys
import xml.etree.ElementTree as ET


def texts(widget):
    """The translatable texts with an underline below a widget."""
    out = []
    for w in widget.iter("widget"):
        props = {p.get("name"): p for p in w.findall("property")}
        label = props.get("label")
        underline = props.get("use_underline")
        if label is not None and label.get("translatable") == "yes" and \
                underline is not None and underline.text == "True":
            out.append(label.text)
    return out


def mnemonic(text):
    i = text.find("_")
    return text[i + 1].lower() if 0 <= i < len(text) - 1 else None


def main():
    glade, locale_dir, langs = sys.argv[1], sys.argv[2], sys.argv[3:]
    root = ET.parse(glade).getroot()
    widgets = {w.get("id"): w for w in root.iter("widget")}
    buttons = texts(widgets["buttons"])
    pages = [w for w in widgets["notebook1"].findall("child/widget") if w.get("class") == "GtkTable"]
    if len(pages) != 3 or len(buttons) != 3:
        print("FAIL: expected three pages and three buttons, found %d and %d" % (len(pages), len(buttons)))
        return 1
    catalogues = {"C": gettext.NullTranslations()}
    for lang in langs:
        with open(os.path.join(locale_dir, lang, "LC_MESSAGES", "gtkzorvpin.mo"), "rb") as f:
            catalogues[lang] = gettext.GNUTranslations(f)
    failures = 0
    for lang, cat in catalogues.items():
        for page in pages:
            seen = {}
            for text in texts(page) + buttons:
                shown = cat.gettext(text)
                key = mnemonic(shown)
                if key is None:
                    print("FAIL: %s: %r has no mnemonic" % (lang, shown))
                    failures += 1
                elif key in seen:
                    print("FAIL: %s: page %s: %r and %r share the mnemonic %r"
                          % (lang, page.get("id"), seen[key], shown, key))
                    failures += 1
                else:
                    seen[key] = shown
    print("mnemonics of %d pages in %d languages: %d failures" % (len(pages), len(catalogues), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
