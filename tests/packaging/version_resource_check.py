#!/usr/bin/python3
"""Reads the version resource back from built programs: what Windows and
inventory tools show of them.

Usage: version_resource_check.py VERSION_STRING NUMERIC_VERSION PROGRAM.exe...
"""

import os
import sys

import pefile


def check(path, version, numeric):
    pe = pefile.PE(path)
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return [f"{path}: no version resource"]
    errors = []
    fixed = pe.VS_FIXEDFILEINFO[0]
    for what, ms, ls in (("file", fixed.FileVersionMS, fixed.FileVersionLS),
                         ("product", fixed.ProductVersionMS, fixed.ProductVersionLS)):
        got = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if got != numeric:
            errors.append(f"{path}: numeric {what} version {got}, expected {numeric}")
    strings = {}
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    wanted = {"FileVersion": version, "ProductVersion": version, "ProductName": "fcboot",
              "OriginalFilename": os.path.basename(path)}
    for key, value in wanted.items():
        if strings.get(key) != value:
            errors.append(f"{path}: {key} is {strings.get(key)!r}, expected {value!r}")
    if not strings.get("FileDescription"):
        errors.append(f"{path}: no FileDescription")
    return errors


def main():
    version = sys.argv[1]
    numeric = tuple(int(n) for n in sys.argv[2].split(".")) + (0,)
    errors = [e for path in sys.argv[3:] for e in check(path, version, numeric)]
    for e in errors:
        print(e)
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()
