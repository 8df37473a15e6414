#!/usr/bin/env python3
"""Checks the built Windows DLL file: the eleven exports by name with their
ordinals, no runtime DLL of the toolchain among its imports, and the product
version in its version resource.

usage: check_dll.py OBJDUMP DLL
"""
import re
import struct
import subprocess
import sys

EXPORTS = [
    "KORVEL_ResetCan", "KORVEL_GetCanBufferInfo", "KORVEL_GetCanState",
    "KORVEL_GetConnectionState", "KORVEL_GetVersion", "KORVEL_Initialize",
    "KORVEL_ReadCanMsg", "KORVEL_RegisterCanMsg", "KORVEL_ResetCanState",
    "KORVEL_Shutdown", "KORVEL_WriteCanMsg",
]
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "winmm.dll", "advapi32.dll",
               "version.dll", "user32.dll"}
PRODUCT_VERSION = (2, 0, 9, 1)
FIXED_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def exports_and_imports(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", text).group(1))
    table = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    exports = {name: base + int(index)
               for index, name in re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)$", table, re.M)}
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", text)}
    return exports, imports


def product_version(dll):
    data = open(dll, "rb").read()
    at = data.find(FIXED_INFO_SIGNATURE)
    if at < 0:
        return None
    _, _, _, _, ms, ls = struct.unpack_from("<6I", data, at)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def main():
    objdump, dll = sys.argv[1], sys.argv[2]
    exports, imports = exports_and_imports(objdump, dll)
    wanted = {name: i + 1 for i, name in enumerate(EXPORTS)}
    problems = []
    if exports != wanted:
        problems.append(f"exports {sorted(exports.items(), key=lambda e: e[1])}")
    foreign = imports - SYSTEM_DLLS
    if foreign:
        problems.append(f"imports outside the system: {sorted(foreign)}")
    version = product_version(dll)
    if version != PRODUCT_VERSION:
        problems.append(f"product version {version}")
    for p in problems:
        print(f"{dll}: {p}", file=sys.stderr)
    if not problems:
        print(f"{dll}: 11 exports with ordinals 1-11, imports {sorted(imports)}, "
              f"product version {'.'.join(map(str, version))}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
