"""The ctypes layer: constants and records as in the header, statuses as
KorvelError, finding the library."""

import ctypes
import os
import re
import subprocess
import sys

import pytest

import korvel
from korvel import api
from korvel.records import RecordReader


def test_constants_and_the_status_table_are_those_of_the_header():
    # `#define NAME VALUEu /* text */`, the comment being optional.
    define = re.compile(r"^#define ((?:KORVEL|EVENT)_\w+) +(0x[0-9A-Fa-f]+|[0-9]+)u\b"
                        r" *(?:/\* (.*) \*/)?$", re.MULTILINE)
    with open(os.environ["KORVEL_HEADER"], encoding="utf-8") as header:
        defines = [(n, int(v, 0), t) for n, v, t in define.findall(header.read())]
    assert {name: getattr(api, name) for name in dir(api)
            if re.fullmatch(r"(KORVEL|EVENT)_[A-Z0-9_]+", name)} == {n: v for n, v, _ in defines}
    assert api._STATUS == {value: (name, text) for name, value, text in defines
                           if re.fullmatch(r"KORVEL_(OK|ERR_[A-Z_]+)", name)}


def test_records_have_the_binary_layout_of_the_header():
    layout = {
        api.CanMsg: (20, "id 0 flags 4 length 5 data 6 reserved 14 timestamp 16"),
        api.InitParams: (44, "size 0 ipAddress 4 port 24 reserved 26 protocol 28 txBufferSize 32"
                             " rxBufferSize 34 connectTimeout 36 shutdownTimeout 40"),
        api.BufferInfo: (16, "txBufferSize 0 rxBufferSize 4 txCount 8 rxCount 12"),
        api.VersionInfo: (6, "major 0 minor 1 release 2 reserved 3 build 4"),
    }
    for record, (size, fields) in layout.items():
        names, offsets = fields.split()[::2], [int(o) for o in fields.split()[1::2]]
        assert ctypes.sizeof(record) == size, record.__name__
        assert [getattr(record, name).offset for name in names] == offsets, record.__name__


def test_statuses_are_raised_with_code_name_and_text():
    with pytest.raises(api.KorvelError) as caught:
        api.load_library().get_connection_state(0)
    error = caught.value
    assert (error.code, error.name, error.function) == (
        3, "KORVEL_ERR_ILLEGAL_INSTANCE", "KORVEL_GetConnectionState")
    assert "KORVEL_ERR_ILLEGAL_INSTANCE (3)" in str(error) and error.text in str(error)


def test_library_is_found_beside_the_package_and_a_missing_one_is_reported(tmp_path):
    env = dict(os.environ)
    env.pop("KORVEL_LIBRARY", None)
    out = subprocess.run([sys.executable, "-c", "import korvel; print(korvel.load_library().path)"],
                         env=env, capture_output=True, text=True, check=True).stdout.strip()
    assert out == os.path.join(os.path.dirname(korvel.__file__), "libkorvel32.so")

    env["KORVEL_LIBRARY"] = str(tmp_path / "libkorvel32.so")
    script = ("import can\n"
              "try:\n"
              "    can.Bus(interface='korvel', channel='127.0.0.1:1')\n"
              "except can.CanInterfaceNotImplementedError as err:\n"
              "    print('not implemented:', err)\n")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("not implemented:") and "KORVEL_LIBRARY" in out


def test_received_stamps_become_ages_before_now_also_across_the_clock_wrap():
    reader = RecordReader("korvel0")
    cases = {14: [10, 11, 12, 13], 2: [2**32 - 2, 2**32 - 1, 0, 1],
             2**32 - 1: [2**32 - 5, 2**32 - 4, 2**32 - 3, 2**32 - 2]}
    for now_ms, stamps in cases.items():
        now = (now_ms + 0.5) / 1000
        raw = b"".join(api.CanMsg(id=i, length=1, timestamp=t) for i, t in enumerate(stamps))
        ages = [round((reader.wall_time(now) - m.timestamp) * 1000, 3)
                for m in reader.messages(raw, now)]
        assert ages == [4, 3, 2, 1], now_ms
