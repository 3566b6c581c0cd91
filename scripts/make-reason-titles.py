#!/usr/bin/env python3
"""Writes vellomar/printing/cups/reason_titles.py: every registered
printer-state-reasons keyword with its English title, from cups-common's
catalogue (msgid "printer-state-reasons.KEYWORD"), so that the package judges
and names them alike on a host without cups-common.

    scripts/make-reason-titles.py [/usr/share/cups/locale/en/cups_en.po]
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGET = os.path.join(ROOT, "vellomar", "printing", "cups", "reason_titles.py")


def entries(path):
    """(keyword, title) of every printer-state-reasons message in a .po file."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    pattern = re.compile(r'^msgid "printer-state-reasons\.([^"]+)"\nmsgstr "((?:[^"\\]|\\.)*)"',
                         re.MULTILINE)
    return [(keyword, title.encode().decode("unicode_escape")) for keyword, title in
            pattern.findall(text)]


def main(argv):
    source = argv[0] if argv else "/usr/share/cups/locale/en/cups_en.po"
    found = entries(source)
    lines = ['"""The registered printer-state-reasons keywords and their English titles,',
             "as cups-common's catalogue has them (%d, written by" % len(found),
             'scripts/make-reason-titles.py; do not edit by hand)."""', "",
             "from typing import Dict", "", "TITLES: Dict[str, str] = {"]
    lines += ["    %r: %r," % (keyword, title) for keyword, title in sorted(found)]
    lines += ["}", ""]
    with open(TARGET, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    print("%s: %d keywords" % (TARGET, len(found)))


if __name__ == "__main__":
    main(sys.argv[1:])
