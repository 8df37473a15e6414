#!/usr/bin/env python3
"""Checks the built Windows DLL file: the eleven exports by name with their
ordinals, and no runtime DLL of the toolchain among its imports. (Its
version resource is read by header_c_test through KORVEL_GetVersion.)

usage: check_dll.py OBJDUMP DLL
"""
import re
import subprocess
import sys

EXPORTS = ["ResetCan", "GetCanBufferInfo", "GetCanState", "GetConnectionState", "GetVersion",
           "Initialize", "ReadCanMsg", "RegisterCanMsg", "ResetCanState", "Shutdown",
           "WriteCanMsg"]
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "winmm.dll", "advapi32.dll",
               "version.dll", "user32.dll"}

objdump, dll = sys.argv[1:3]
text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
base = int(re.search(r"Ordinal Base\s+(\d+)", text).group(1))
table = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
exports = {name: base + int(index)
           for index, name in re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)$", table, re.M)}
imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", text)}
problems = []
if exports != {"KORVEL_" + name: i + 1 for i, name in enumerate(EXPORTS)}:
    problems.append(f"exports {sorted(exports.items(), key=lambda e: e[1])}")
if imports - SYSTEM_DLLS:
    problems.append(f"imports outside the system: {sorted(imports - SYSTEM_DLLS)}")
for p in problems:
    print(f"{dll}: {p}", file=sys.stderr)
if not problems:
    print(f"{dll}: 11 exports with ordinals 1-11, imports {sorted(imports)}")
sys.exit(1 if problems else 0)
