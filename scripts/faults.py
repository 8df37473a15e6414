#!/usr/bin/env python3
"""Makes deliberate faults in the library, one at a time, and checks that the
tests catch each of them: the fault goes into the source, the configuration is
built, the tests named for the fault run (and, when they all pass, every quick
test of that configuration), and the source is put back.

    scripts/faults.py [--build DIR] [--only TEXT] [--list]

DIR is the build directory of scripts/test.sh (default ./build); the native
configuration must be configured there, and the tsan one for the faults that
only ThreadSanitizer sees. The table at the end says which tests failed for
each fault. Exit status 0 when every fault was caught.
"""
import argparse
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


class Fault:
    def __init__(self, name, path, old, new, tests, config="native"):
        self.name, self.path, self.old, self.new = name, path, old, new
        self.tests, self.config = tests, config


FAULTS = [
    Fault("transmit buffer bound one short (off by one)", "engine/message_paths.cpp",
          "m_txBuffer.size() > m_txBufferSize", "m_txBuffer.size() >= m_txBufferSize",
          "library_rules_test|unsent_frames_test"),
    Fault("receive buffer holds one message too many", "engine/message_paths.cpp",
          "m_rxBufferSize + 1u - m_rxBuffer.size()", "m_rxBufferSize + 2u - m_rxBuffer.size()",
          "lifecycle_test"),
    Fault("flipped comparison: decimal range check refuses its largest value",
          "codec/number_token.cpp", "if (magnitude > limit)", "if (magnitude >= limit)",
          "codec_test"),
    Fault("wrong public status for a send error", "api/exports.cpp",
          "case PROCESS_ERR_SEND:\n        return KORVEL_ERR_SEND;",
          "case PROCESS_ERR_SEND:\n        return KORVEL_ERR_RECEIVE;", "library_rules_test"),
    Fault("missing state change at the end of the stream", "net/win_sock.cpp",
          "m_state = m_state == WSOCK_STATE_CONNECTED ? WSOCK_STATE_CLOSED_BY_PEER"
          " : WSOCK_STATE_LOST;", ";", "lifecycle_test|net_test"),
    Fault("last frame of a chunk lost", "engine/message_paths.cpp",
          "StoreRxRecords(batch, count, &stored)",
          "StoreRxRecords(batch, r == PROCESS_OK || count == 0 ? count : count - 1, &stored)",
          "lifecycle_test"),
    Fault("wrong mask in ResetCanState: RX_OVERRUN is never cleared", "api/exports.cpp",
          "engine.ResetCanState(mask & 0xFFFFu)", "engine.ResetCanState(mask & 0xFFFEu)",
          "lifecycle_test"),
    Fault("read without its buffer lock", "engine/message_paths.cpp",
          "OsLockGuard guard(&m_rxLock);\n    ProcessStatus result = PROCESS_OK;",
          "ProcessStatus result = PROCESS_OK;", "lifecycle_test", config="tsan"),
    Fault("missing wake-up of the callback thread for received messages",
          "engine/message_paths.cpp", "OsSetEvent(m_events[ENGINE_EVENT_RECEIVED]);", "",
          "lifecycle_test"),
    Fault("time stamp in microseconds instead of milliseconds", "engine/message_paths.cpp",
          "const uint32_t now = OsTimeGetTime();", "const uint32_t now = OsTimeGetTime() * 1000;",
          "python_bus"),
    Fault("wrong flag in ResetCan for the receive buffer", "engine/process_data.cpp",
          "if (flags & KORVEL_RESET_RX_BUFFER) ClearRxBuffer();",
          "if (flags & KORVEL_RESET_TX_BUFFER) ClearRxBuffer();", "lifecycle_test"),
    Fault("wrong overrun bit for a full receive buffer", "engine/message_paths.cpp",
          "ChangeCanState(KORVEL_CANSTATE_RX_OVERRUN, 0);",
          "ChangeCanState(KORVEL_CANSTATE_TX_OVERRUN, 0);", "lifecycle_test"),
    Fault("formatter writes a leading zero below 0x10", "codec/frame_format.cpp",
          "while (shift > 0 &&", "while (shift > 4 &&", "codec_test|lifecycle_test"),
    Fault("pending fragment keeps one byte too few at its bound", "codec/frame_parser.cpp",
          "from += length - CODEC_MAX_PENDING_FRAGMENT;\n        length = CODEC_MAX_PENDING_FRAGMENT;",
          "from += length - CODEC_MAX_PENDING_FRAGMENT + 1;\n"
          "        length = CODEC_MAX_PENDING_FRAGMENT - 1;", "codec_test"),
    Fault("socket's exception error not kept", "net/win_sock.cpp",
          "m_error = WSOCK_ERR_EXCEPTION;\n            return", "return",
          "unsent_frames_test|socket_call_faults_test"),
    Fault("queues hand out the newest chunk first", "net/win_sock.cpp",
          "*chunk = queue.front();\n    queue.pop_front();",
          "*chunk = queue.back();\n    queue.pop_back();", "net_test"),
    Fault("instance numbers stop one below the limit", "api/exports.cpp",
          "n <= MaxInstances(); ++n", "n < MaxInstances(); ++n", "api_blackbox_test"),
    Fault("flipped comparison in the connect wait", "api/korvel.cpp",
          "if (state != KORVEL_CONN_CONNECTING) return KORVEL_OK;",
          "if (state == KORVEL_CONN_CONNECTING) return KORVEL_OK;", "api_blackbox_test"),
    Fault("empty first read reported only from the second attempt", "api/exports.cpp",
          "attempt == 0 && status == PROCESS_ERR_EMPTY",
          "attempt == 1 && status == PROCESS_ERR_EMPTY", "api_blackbox_test|bad_input_test"),
    Fault("TX_EMPTY bit never set", "engine/message_paths.cpp",
          "ChangeCanState(KORVEL_CANSTATE_TX_EMPTY, 0);", "ChangeCanState(0, 0);",
          "lifecycle_test"),
    Fault("received-notice not re-armed by a read", "engine/message_paths.cpp",
          "m_rxNoticePending = 0;\n    return result;", "return result;", "lifecycle_test"),
    Fault("Start does not set the thread's priority", "net/process_thread.cpp",
          "OsSetThreadPriority(desc->hThread, desc->priority);", "", "lifecycle_test|net_test"),
    Fault("time-critical maps to the above-normal level (POSIX)", "os/posix/thread.cpp",
          "nice = -2;", "nice = -1;", "net_test"),
]


def run(command, cwd=ROOT):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)


def failed_tests(output):
    """The names ctest lists under 'The following tests FAILED'."""
    names = re.findall(r"^\s+\d+ - (\S+) \(", output, re.MULTILINE)
    return sorted(set(names))


def ctest(build, *selection):
    out = run(["ctest", "--test-dir", str(build), "--timeout", "300", *selection]).stdout
    return failed_tests(out)


def try_fault(fault, build_root):
    """Returns (outcome, failing tests). The source is always put back."""
    build = build_root / fault.config
    if not (build / "CMakeCache.txt").exists():
        return "not configured: " + str(build), []
    source = ROOT / fault.path
    original = source.read_text()
    if original.count(fault.old) != 1:
        return "no longer applies (the text to change is not found once)", []
    try:
        source.write_text(original.replace(fault.old, fault.new))
        if run(["cmake", "--build", str(build), "-j2"]).returncode != 0:
            return "does not build", []
        failing = ctest(build, "-R", fault.tests)
        if not failing:
            failing = ctest(build, "-LE", "slow")
        return ("caught" if failing else "MISSED"), failing
    finally:
        source.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--only", default="", help="run the faults whose name holds TEXT")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    args = parser.parse_args()
    chosen = [f for f in FAULTS if args.only in f.name]
    if args.list:
        for f in chosen:
            print(f"{f.path}: {f.name} [{f.config}: {f.tests}]")
        return 0
    build_root = pathlib.Path(args.build).resolve()
    rows = []
    for number, fault in enumerate(chosen, 1):
        print(f"[{number}/{len(chosen)}] {fault.name} ...", flush=True)
        outcome, failing = try_fault(fault, build_root)
        rows.append((fault, outcome, failing))
        print(f"    {outcome}: {', '.join(failing) or '-'}", flush=True)
    for config in sorted({f.config for f, _, _ in rows}):
        run(["cmake", "--build", str(build_root / config), "-j2"])  # the faultless build again
    print("\n| Fault | File | Caught by |\n|---|---|---|")
    for fault, outcome, failing in rows:
        caught = ", ".join(failing) if outcome == "caught" else "**" + outcome + "**"
        print(f"| {fault.name} | `{fault.path}` | {caught} |")
    missed = [f for f, outcome, _ in rows if outcome != "caught"]
    print(f"\n{len(rows) - len(missed)} of {len(rows)} faults caught")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
