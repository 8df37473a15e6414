"""korvel.Bus through can.Bus against the gateway simulator."""

import logging
import signal
import socket
import time

import can
import pytest

from conftest import WAIT_LIMIT, wait_for
from korvel import api


def open_bus(sim, **kwargs):
    return can.Bus(interface="korvel", channel=sim.channel, **kwargs)


def frame(arbitration_id, data=b"", extended=False, remote=False, dlc=None):
    return can.Message(arbitration_id=arbitration_id, data=data, is_extended_id=extended,
                       is_remote_frame=remote, dlc=dlc)


def fields(msg):
    return (msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.dlc, bytes(msg.data))


def test_every_frame_kind_goes_out_and_comes_back_with_filters(gateway):
    sent = [frame(0x000), frame(0x7FF, b"\x01"), frame(0x123, bytes(range(1, 9))),
            frame(0x1FFFFFFF, b"\xde\xad\xbe\xef", extended=True), frame(0x0, extended=True),
            frame(0x456, remote=True, dlc=5), frame(0x12345, extended=True, remote=True, dlc=0)]
    with open_bus(gateway("-e", "sender"), channel_name="korvel3") as bus:
        assert bus.state == can.BusState.ACTIVE
        before = time.time()
        for msg in sent:
            bus.send(msg)
        received = [bus.recv(WAIT_LIMIT) for _ in sent]
        after = time.time()
        assert bus.recv(0) is None
        bus.set_filters([{"can_id": 0x100, "can_mask": 0x7F0, "extended": False}])
        for msg in (frame(0x205), frame(0x10F, extended=True), frame(0x105)):
            bus.send(msg)
        assert bus.recv(WAIT_LIMIT).arbitration_id == 0x105
    for out, back in zip(sent, received):
        assert back is not None and back.is_rx and back.channel == "korvel3"
        assert fields(back) == fields(out)
    # Stamps are whole milliseconds of the library's clock on the wall-clock
    # time base: between the first send and the last receipt, in order.
    stamps = [msg.timestamp for msg in received]
    assert stamps == sorted(stamps)
    assert before - 0.002 <= stamps[0] and stamps[-1] <= after


def test_gateway_closing_the_connection_is_an_error_after_the_last_message(gateway):
    with open_bus(gateway("-e", "sender", "--close-after", "3")) as bus:
        for i in range(3):
            bus.send(frame(i, bytes([i])))
        assert [bus.recv(WAIT_LIMIT).arbitration_id for _ in range(3)] == [0, 1, 2]
        with pytest.raises(can.CanOperationError, match="connection to .* (closed|lost)"):
            bus.recv(WAIT_LIMIT)
        assert bus.state == can.BusState.ERROR
        with pytest.raises(can.CanOperationError):
            bus.send(frame(9))


def test_an_overrun_is_counted_or_raised_when_asked(gateway):
    # A buffer of one message overflows with the first read of several
    # frames. can.logger shows that receiving goes on after the warning.
    with open_bus(gateway("-g", "-r", "max"), rx_buffer_size=0, raise_on_overrun=True) as bus:
        with pytest.raises(can.CanOperationError, match="overrun") as caught:
            for _ in range(1_000_000):
                bus.recv(WAIT_LIMIT)
        assert caught.value.error_code == api.KORVEL_ERR_RX_BUFFER_OVERRUN
        assert bus.rx_overruns == 1 and bus.recv(WAIT_LIMIT) is not None


def test_a_reconnecting_bus_receives_again_after_a_gateway_restart(gateway, caplog):
    first = gateway("-g", "-r", "1000")
    received = []
    with open_bus(first, reconnect=True) as bus:
        # The notifier stops at the first error the bus raises.
        notifier = can.Notifier(bus, [received.append], timeout=0.1)
        wait_for(lambda: received, "messages from the first gateway")
        first.stop()
        wait_for(lambda: bus.reconnects == 1, "the lost connection")
        seen = len(received)
        # The second gateway's counter starts at 0 again.
        gateway("-g", "-r", "1000", port=int(first.channel.split(":")[1]))
        wait_for(lambda: len(received) > seen + 10, "messages after the restart")
        notifier.stop()
    assert bus.reconnects == 1 and received[seen].data == bytes(8)
    gaps = [r.getMessage() for r in caplog.records if "reconnected" in r.getMessage()]
    assert len(gaps) == 1 and "after a gap of" in gaps[0]


def test_messages_that_cannot_leave_at_shutdown_are_an_error_with_their_count(gateway, caplog):
    sim = gateway("--stop-reading", "0")
    bus = open_bus(sim, tx_buffer_size=0xFFFF)
    bus.library.write_can_msg(bus.instance, [api.CanMsg(id=1, length=8)] * 5000)
    sim.process.send_signal(signal.SIGKILL)
    bus.shutdown()
    errors = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1
    count = int(errors[0].getMessage().split(": ")[-1].split()[0])
    assert 0 < count <= 5000


def test_connection_failures_and_bad_channels_are_reported_at_open():
    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        channel = "127.0.0.1:%d" % probe.getsockname()[1]
    with pytest.raises(can.CanInitializationError) as caught:
        can.Bus(interface="korvel", channel=channel, connect_timeout=WAIT_LIMIT)
    assert str(caught.value) == "no gateway at %s (connection refused or unreachable)" % channel
    for channel in ("127.0.0.1", "127.0.0.1:0", "1.2.3.4:5:6", 7):
        with pytest.raises(ValueError):
            can.Bus(interface="korvel", channel=channel)
