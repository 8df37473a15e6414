"""korvel.api against the public header: every constant with the header's
value, the status table with the names and texts of its status lines.
Usage: status_table_test.py korvel32.h korvel/api.py"""

import importlib.util
import re
import sys

# `#define NAME VALUEu /* text */`, the comment being optional.
DEFINE = re.compile(r"^#define ((?:KORVEL|EVENT)_\w+) +(0x[0-9A-Fa-f]+|[0-9]+)u\b"
                    r" *(?:/\* (.*) \*/)?$", re.MULTILINE)
CONSTANT = re.compile(r"(KORVEL|EVENT)_[A-Z0-9_]+")
STATUS = re.compile(r"KORVEL_(OK|ERR_[A-Z_]+)")


def load_module(path):
    # The module alone, without the package: it needs no library and no python-can.
    found = importlib.util.spec_from_file_location("korvel_api", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def differences(header_text, api):
    defines = [(name, int(value, 0), text) for name, value, text in DEFINE.findall(header_text)]
    header = {name: value for name, value, _ in defines}
    statuses = {value: (name, text) for name, value, text in defines if STATUS.fullmatch(name)}
    python = {name: getattr(api, name) for name in dir(api) if CONSTANT.fullmatch(name)}
    found = ["%s: header %s, Python %s" % (name, header.get(name), python.get(name))
             for name in sorted(header.keys() | python.keys())
             if header.get(name) != python.get(name)]
    table = api._STATUS
    return found + ["status %d: header %s, Python %s" % (code, statuses.get(code), table.get(code))
                    for code in sorted(statuses.keys() | table.keys())
                    if statuses.get(code) != table.get(code)]


def main(header_path, api_path):
    with open(header_path, encoding="utf-8") as f:
        found = differences(f.read(), load_module(api_path))
    print("\n".join(found + ["%d differences" % len(found)]))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
