#!/usr/bin/env python3
"""Prints the game simulator's options for how a block's memory is laid out,
as ';'-separated argument sets, from the simulator's README: every option row
other than --first-block whose text speaks of blocks and their buffer or
memory. An option with a value gives one set per value named in backquotes
in its row. Prints nothing when the simulator has no such option."""

import re
import sys

ROW = re.compile(r"^\|\s*`(--[a-z0-9-]+)(?:\s+([A-Z_]+))?`\s*\|(.*)\|\s*$")


def variants(readme):
    found = []
    for line in readme.splitlines():
        m = ROW.match(line)
        if not m:
            continue
        option, value, text = m.group(1), m.group(2), m.group(3).lower()
        if option == "--first-block" or "block" not in text:
            continue
        if not any(word in text for word in ("buffer", "reuse", "memory", "slot")):
            continue
        if value:
            for v in re.findall(r"`([a-z0-9-]+)`", text):
                found.append("%s %s" % (option, v))
        else:
            found.append(option)
    return found


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        print(";".join(variants(f.read())))
