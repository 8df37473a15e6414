#!/usr/bin/env python3
"""Checks the built Windows DLL file: the eleven exports by name with their
ordinals, and no runtime DLL of the toolchain among its imports. (Its
version resource is read by header_c_test through KORVEL_GetVersion.)

usage: check_dll.py OBJDUMP DLL
"""
import re
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


def exports_and_imports(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    base = int(re.search(r"Ordinal Base\s+(\d+)", text).group(1))
    table = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    exports = {name: base + int(index)
               for index, name in re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)$", table, re.M)}
    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", text)}
    return exports, imports


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
    for p in problems:
        print(f"{dll}: {p}", file=sys.stderr)
    if not problems:
        print(f"{dll}: 11 exports with ordinals 1-11, imports {sorted(imports)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
