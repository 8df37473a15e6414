"""python-can's notifier, listeners, log writers and readers on a korvel bus."""

import can

from conftest import WAIT_LIMIT, wait_for


def fields(msg):
    return (msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.dlc, bytes(msg.data))


def test_notifier_feeds_a_buffered_reader_and_candump_and_asc_loggers(gateway, tmp_path):
    sim = gateway("-g", "-r", "2000", "-n", "100", "-L", "i", "-x")
    reader = can.BufferedReader()
    loggers = [can.Logger(str(tmp_path / "bus.log")), can.Logger(str(tmp_path / "bus.asc"))]
    received = []
    with can.Bus(interface="korvel", channel=sim.channel) as bus:
        notifier = can.Notifier(bus, [reader, *loggers], timeout=0.1)
        while len(received) < 100:
            msg = reader.get_message(WAIT_LIMIT)
            assert msg is not None, "only %d of 100 generated frames arrived" % len(received)
            received.append(msg)
        notifier.stop()
    for logger in loggers:
        logger.stop()

    # The generator counts identifiers up from 0 and cycles the length.
    assert [m.arbitration_id for m in received] == list(range(100))
    assert [m.dlc for m in received] == [i % 9 for i in range(100)]
    assert all(m.is_extended_id and not m.is_remote_frame for m in received)
    for name in ("bus.log", "bus.asc"):
        replayed = list(can.LogReader(str(tmp_path / name)))
        assert [fields(m) for m in replayed] == [fields(m) for m in received], name
        offsets = [(a.timestamp - replayed[0].timestamp) - (b.timestamp - received[0].timestamp)
                   for a, b in zip(replayed, received)]
        assert max(abs(x) for x in offsets) < 1e-3, name


def test_log_replayed_with_message_sync_reaches_the_gateway(gateway, tmp_path):
    source = tmp_path / "drive.log"
    lines = []
    for i in range(40):
        frame = ["%03X#%s" % (0x100 + i, bytes([i] * (i % 9)).hex().upper()),
                 "%08X#%s" % (0x1F000000 + i, "DEADBEEF"),
                 "%03X#R%d" % (i, i % 9)][i % 3]
        lines.append("(%.6f) can0 %s\n" % (1700000000 + i * 0.002, frame))
    source.write_text("".join(lines))
    record = tmp_path / "record.log"
    sim = gateway("--record", str(record))
    with can.Bus(interface="korvel", channel=sim.channel) as bus:
        for msg in can.MessageSync(can.LogReader(str(source)), timestamps=True):
            bus.send(msg, timeout=WAIT_LIMIT)
    wait_for(lambda: record.exists() and len(record.read_text().splitlines()) == 40,
             "40 recorded frames")
    assert ([fields(m) for m in can.LogReader(str(record))]
            == [fields(m) for m in can.LogReader(str(source))])


class ErrorListener(can.Listener):
    def __init__(self):
        self.messages, self.errors = [], []

    def on_message_received(self, msg):
        self.messages.append(msg)

    def on_error(self, exc):
        self.errors.append(exc)


def test_notifier_hands_a_closed_connection_to_its_listeners(gateway):
    sim = gateway("-g", "-r", "1000", "--close-after", "5")
    listener = ErrorListener()
    with can.Bus(interface="korvel", channel=sim.channel) as bus:
        notifier = can.Notifier(bus, [listener], timeout=0.1)
        wait_for(lambda: listener.errors, "the error of the closed connection")
        notifier.stop()
    assert len(listener.messages) == 5
    assert isinstance(listener.errors[0], can.CanOperationError)
    assert "closed" in str(listener.errors[0]) or "lost" in str(listener.errors[0])
