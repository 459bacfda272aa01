#!/usr/bin/env python3
"""Packs FOLDER into ZIP so that the same files give the same bytes: entries
sorted by name under one top folder (the folder's own name), every time
stamp the given one, fixed permissions, no extra fields.

usage: make-zip.py ZIP FOLDER EPOCH
EPOCH: seconds since 1970 (the commit's time), stored as UTC.
"""
import os
import sys
import time
import zipfile


def entries(folder):
    names = []
    for parent, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            path = os.path.join(parent, name)
            names.append(os.path.relpath(path, folder).replace(os.sep, "/"))
    return sorted(names)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    target, folder, epoch = sys.argv[1], sys.argv[2].rstrip("/"), int(sys.argv[3])
    # Zip stores DOS times from 1980 on, in two-second steps.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    top = os.path.basename(folder)
    with zipfile.ZipFile(target + ".part", "w") as archive:
        for name in entries(folder):
            info = zipfile.ZipInfo(f"{top}/{name}", date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the mode below is read
            info.external_attr = 0o100644 << 16
            with open(os.path.join(folder, name), "rb") as source:
                archive.writestr(info, source.read(), compresslevel=9)
    os.replace(target + ".part", target)


if __name__ == "__main__":
    main()
