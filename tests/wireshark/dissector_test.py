"""tools/wireshark/korvel.lua under tshark, on captures that text2pcap makes
from known streams in both directions. Usage: dissector_test.py KORVEL_LUA"""
import itertools
import os
import subprocess
import sys
import tempfile
import unittest

CLIENT_PORT, GATEWAY_PORT = 50123, 29536
FIELDS = ["tcp.dstport", "korvel.id", "korvel.format", "korvel.type", "korvel.length",
          "korvel.flags", "korvel.data", "_ws.expert.message"]


def frame(ident, data=b"", extended=False, remote=False, length=None):
    """A frame as the library writes it, and what the dissector shows of it."""
    length = len(data) if length is None else length
    tokens = "" if remote else "".join("0x%x;" % byte for byte in data)
    text = "$CAN;%s;%s;0x%x;0x%x;%s#" % ("E" if extended else "S", "R" if remote else "D",
                                         ident, length, tokens)
    flags = "0x%02x" % (int(remote) | int(extended) << 1)
    return text.encode(), ("0x%08x" % ident, str(int(extended)), str(int(remote)), str(length),
                           flags, "" if remote else data.hex())


# Sent three times: one byte to a segment, so that each frame is cut at
# every byte, then in growing segments that hold several frames.
SENT = [frame(0x123, b"\x01\xab\x00"), frame(0x18DAF110, extended=True, remote=True, length=8),
        frame(0), frame(0x1FFFFFFF, bytes(range(0xF8, 0x100)), extended=True),
        frame(0x7FF, remote=True, length=1)]
SENT_STREAM = b"".join(f for f, _ in SENT) * 3
SEGMENT_SIZES = [1] * (len(SENT_STREAM) // 3) + [2, 3, 5, 8, 13, 21, 34, 55, 89, 144]

# From the gateway, segments separated by "|": garbage, malformed frames and
# tokens in every form the library reads.
RECEIVED = (b"xyz$CAN;S;D;0x1;0x1;0x2;#\r\n|$CAN;S;d;0x1;0x0;#$CAN;S;D;0X2;0x1;0x0A;#"
            b"$CAN;S;D;0x3;0x9;#$CAN;S;D;0x123456789;+2;-1;0x100;0x3;#$CAN;S;D;0x4;0x2;0x1;#"
            b"$CAN;e;D;0x5;0x0;#$CAN;S;D;0xg;0x0;#$CAN;S;D;0x6;0x1;0x|"
            b"$CAN;S;R;0x5;0x2;0x0;0x0;#$CAN;S;D;0x9;" + b"A" * 200 + b"$CAN;xE;D;0x7;0x0;#$C|"
            b"AN;S;D;0x8;0x0;#")
RECEIVED_SHOWN = [frame(1, b"\x02")[1], frame(2, b"\x0a")[1], frame(0x12345678, b"\xff\x10")[1],
                  ("0x00000005", "0", "1", "2", "0x01", "0000"), frame(7, extended=True)[1], frame(8)[1]]
RECEIVED_EXPERTS = [
    "3 bytes outside frames", "2 bytes outside frames",
    "Malformed frame: kind field 'd' is not R or D", "Malformed frame: length 9 is above 8",
    "4 bytes skipped before the terminator", "Malformed frame: data tokens: 1 of 2",
    "Malformed frame: format field 'e' is not E or S",
    "Malformed frame: identifier '0xg' is no number",
    "Malformed frame: no terminator before the next start token",
    "Malformed frame: no terminator within 128 bytes", "85 bytes outside frames"]


def capture(packets):
    """packets: (to the gateway?, payload); text2pcap numbers each direction."""
    path = os.path.join(WORK, "capture.pcapng")
    with open(path + ".txt", "w") as dump:
        for to_gateway, payload in packets:
            dump.write("%s 000000 %s\n" % ("I" if to_gateway else "O", payload.hex(" ")))
    ports = "%d,%d" % (CLIENT_PORT, GATEWAY_PORT)
    subprocess.run(["text2pcap", "-q", "-D", "-T", ports, path + ".txt", path], check=True,
                   capture_output=True)
    return path


def dissect(path):
    """Per direction (True: to the gateway): the frames shown, the data of
    those that carry some, and the expert messages."""
    command = ["tshark", "-X", "lua_script:" + DISSECTOR, "-r", path, "-T", "fields",
               "-E", "aggregator=|"] + [arg for field in FIELDS for arg in ("-e", field)]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    result = {True: ([], [], []), False: ([], [], [])}
    for line in out.splitlines():
        port, *shown, data, experts = [c.split("|") if c else [] for c in line.split("\t")]
        direction = result[port != [str(CLIENT_PORT)]]
        for collected, new in zip(direction, (zip(*shown), data, experts)):
            collected.extend(new)
    return result


def expected(shown, experts=()):
    return [s[:5] for s in shown], [s[5] for s in shown if s[5]], list(experts)


class DissectorTest(unittest.TestCase):
    def test_both_directions_cut_anywhere_with_garbage_and_malformed_frames(self):
        sent = [(True, s) for s in (SENT_STREAM[end - size:end] for size, end in zip(
            SEGMENT_SIZES, itertools.accumulate(SEGMENT_SIZES))) if s]
        received = [(False, r) for r in RECEIVED.split(b"|")]
        result = dissect(capture(sent[:45] + received[:2] + sent[45:] + received[2:]))
        self.assertEqual(result[True], expected([s for _, s in SENT] * 3))
        self.assertEqual(result[False], expected(RECEIVED_SHOWN, RECEIVED_EXPERTS))


if __name__ == "__main__":
    DISSECTOR = sys.argv.pop(1)
    with tempfile.TemporaryDirectory() as WORK:
        # No personal preferences or plugins: they could move the port or
        # load the dissector twice.
        os.environ.update(HOME=WORK, XDG_CONFIG_HOME=WORK)
        unittest.main()
