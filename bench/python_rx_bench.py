#!/usr/bin/python3
"""Receive throughput through python-can's bus.recv() on a korvel bus, beside
a bare ctypes loop over KORVEL_ReadCanMsg in the same run.

usage: python_rx_bench.py GATEWAY [SECONDS] [RATE]

Each reader gets its own gateway that sends 29-bit frames with counting
identifiers: once as fast as it can (frames/s taken by the reader), once at
RATE frames/s (default 300000) for SECONDS (default 5), where every
identifier must arrive. Prints "name value" lines for bench/report.py.
KORVEL_LIBRARY names the library; korvel must be importable.
"""

import ctypes
import os
import subprocess
import sys
import time


import korvel
from korvel import api

BARE_BATCH = 4096
IDLE_PAUSE = 0.0005  # the bare loop's pause when the buffer is empty
QUIET_END = 1.0  # a reader stops after this long without a frame


class Gateway:
    def __init__(self, program, *args):
        self.process = subprocess.Popen([program, "-p", "0", "-g", "-x", *args],
                                        stdout=subprocess.PIPE, text=True)
        self.channel = self.process.stdout.readline().split()[-1]

    def stop(self):
        self.process.terminate()
        self.process.wait()


def python_can_reader(channel, limit):
    """bus.recv() with default arguments: read_all's figures and the overruns."""
    # The class that can.Bus(interface="korvel", ...) makes, without the
    # entry point of an installed package.
    with korvel.Bus(channel=channel) as bus:
        return read_all(lambda: bus.recv(QUIET_END), lambda msg: msg.arbitration_id, limit) + (
            bus.rx_overruns,)


def bare_reader(channel, limit):
    """The library's exports only, polling mode, no message objects."""
    lib = api.load_library()
    host, port = channel.split(":")
    params = api.InitParams(size=ctypes.sizeof(api.InitParams), ipAddress=host.encode(),
                            port=int(port), protocol=api.KORVEL_PROTOCOL_TCP, txBufferSize=16,
                            rxBufferSize=0xFFFF, connectTimeout=5000, shutdownTimeout=1000)
    instance = lib.initialize(params)
    records = (api.CanMsg * BARE_BATCH)()
    read = ctypes.c_uint32()
    pending = []

    def next_record():
        while not pending:
            deadline = time.monotonic() + QUIET_END
            while True:
                lib.dll.KORVEL_ReadCanMsg(instance, records, BARE_BATCH, ctypes.byref(read))
                if read.value:
                    break
                if time.monotonic() > deadline:
                    return None
                time.sleep(IDLE_PAUSE)
            pending.extend(records[i].id for i in range(read.value - 1, -1, -1))
        return pending.pop()

    try:
        result = read_all(next_record, lambda ident: ident, limit)
        overrun = lib.get_can_state(instance) & api.KORVEL_CANSTATE_RX_OVERRUN
    finally:
        lib.shutdown(instance)
    return result + (1 if overrun else 0,)


def read_all(receive, ident_of, limit):
    """(frames, seconds, identifiers in order, CPU seconds of this thread)."""
    first = receive()
    start, cpu = time.monotonic(), time.thread_time()
    count, last, in_order = 1, ident_of(first), True
    end = start
    while count < limit:
        item = receive()
        if item is None:
            break
        end = time.monotonic()
        ident = ident_of(item)
        in_order = in_order and ident == last + 1
        last, count = ident, count + 1
    return count, end - start, in_order, time.thread_time() - cpu


def measure(program, name, reader, seconds, rate):
    flood = Gateway(program, "-r", "max", "-t", str(seconds))
    try:
        count, elapsed, _, cpu, _ = reader(flood.channel, float("inf"))
    finally:
        flood.stop()
    # Frames per second of wall time, and per second of the reading
    # thread's CPU time: what one free core would take.
    print("%s-max %.0f" % (name, (count - 1) / elapsed))
    print("%s-cpu %.0f" % (name, (count - 1) / cpu))
    expected = int(seconds * rate)
    paced = Gateway(program, "-r", str(rate), "-n", str(expected))
    try:
        count, elapsed, in_order, _, overruns = reader(paced.channel, expected)
    finally:
        paced.stop()
    print("%s-paced %.0f" % (name, (count - 1) / elapsed))
    print("%s-lost %d" % (name, expected - count if in_order else max(1, expected - count)))
    print("%s-overruns %d" % (name, overruns))


def main():
    program = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
    rate = int(sys.argv[3]) if len(sys.argv) > 3 else 300000
    print("load1 %s" % os.getloadavg()[0])
    print("rate %d" % rate)
    for name, reader in (("bare", bare_reader), ("recv", python_can_reader)):
        measure(program, name, reader, seconds, rate)


if __name__ == "__main__":
    main()
