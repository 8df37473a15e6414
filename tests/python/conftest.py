"""Shared fixtures: korvel-gateway as a child process, and bounded waits.
Environment: KORVEL_LIBRARY, KORVEL_GATEWAY (the program) and KORVEL_HEADER."""

import os
import subprocess
import time

import pytest

WAIT_LIMIT = 60.0  # seconds; a bound for conditions, never a measured time


def wait_for(condition, what, limit=WAIT_LIMIT):
    """Polls condition() until it is true; fails after `limit` seconds."""
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail("gave up waiting for " + what)
        time.sleep(0.01)


class Gateway:
    """One korvel-gateway process; `channel` is its "127.0.0.1:PORT"."""

    def __init__(self, *args, port=0):
        self.process = subprocess.Popen([os.environ["KORVEL_GATEWAY"], "-p", str(port), *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("korvel-gateway listening on "):
            self.process.kill()
            raise RuntimeError("korvel-gateway did not start: %r" % line)
        self.channel = line.split()[-1]

    def stop(self):
        self.process.terminate()  # SIGTERM, unless it has ended
        self.process.communicate(timeout=WAIT_LIMIT)


@pytest.fixture
def gateway():
    """gateway("-e", "sender") starts a gateway with these options (on a
    given port with port=N); each is stopped at the end of the test."""
    started = []

    def start(*args, port=0):
        started.append(Gateway(*args, port=port))
        return started[-1]

    yield start
    for process in started:
        process.stop()


def read_candump_log(path):
    """The frames of a candump log file as (id text, data text) pairs."""
    with open(path) as log:
        return [tuple(line.split()[2].split("#", 1)) for line in log if line.strip()]
