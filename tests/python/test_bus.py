"""korvel.Bus through can.Bus against the gateway simulator."""

import os
import socket
import subprocess
import time

import can
import pytest

from conftest import WAIT_LIMIT, read_candump_log, wait_for
from korvel import api


def open_bus(sim, **kwargs):
    return can.Bus(interface="korvel", channel=sim.channel, **kwargs)


def frame(arbitration_id, data=b"", extended=False, remote=False, dlc=None):
    return can.Message(arbitration_id=arbitration_id, data=data, is_extended_id=extended,
                       is_remote_frame=remote, dlc=dlc)


def fields(msg):
    return (msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.dlc, bytes(msg.data))


def test_every_frame_kind_goes_out_and_comes_back(gateway):
    sent = [frame(0x000), frame(0x7FF, b"\x01"), frame(0x123, bytes(range(1, 9))),
            frame(0x1FFFFFFF, b"\xde\xad\xbe\xef", extended=True), frame(0x0, extended=True),
            frame(0x456, remote=True, dlc=5), frame(0x12345, extended=True, remote=True, dlc=0)]
    with open_bus(gateway("-e", "sender")) as bus:
        assert bus.state == can.BusState.ACTIVE
        assert bus.channel_info.startswith("KORVEL gateway 127.0.0.1:")
        before = time.time()
        for msg in sent:
            bus.send(msg)
        received = [bus.recv(WAIT_LIMIT) for _ in sent]
        after = time.time()
        assert bus.recv(0) is None
    for out, back in zip(sent, received):
        assert back is not None and back.is_rx and back.channel == bus.channel
        assert fields(back) == fields(out)
    # Stamps are whole milliseconds of the library's clock on the wall-clock
    # time base: between the first send and the last receipt, in order.
    stamps = [msg.timestamp for msg in received]
    assert stamps == sorted(stamps)
    assert before - 0.002 <= stamps[0] and stamps[-1] <= after


def test_receive_filters_and_timeouts(gateway):
    filters = [{"can_id": 0x100, "can_mask": 0x7F0, "extended": False}]
    with open_bus(gateway("-e", "sender"), can_filters=filters) as bus:
        assert bus.recv(0.05) is None
        for msg in (frame(0x205), frame(0x105), frame(0x10F, extended=True), frame(0x10F)):
            bus.send(msg)
        assert bus.recv(WAIT_LIMIT).arbitration_id == 0x105
        assert bus.recv(WAIT_LIMIT).arbitration_id == 0x10F
        assert bus.recv(0.05) is None
        bus.set_filters(None)
        bus.send(frame(0x205))
        assert bus.recv(WAIT_LIMIT).arbitration_id == 0x205


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


def test_a_gateway_that_stops_reading_makes_send_fail(gateway):
    with open_bus(gateway("--stop-reading", "0")) as bus:
        with pytest.raises(can.CanOperationError) as caught:
            for _ in range(1_000_000):
                bus.send(frame(0x1, bytes(8)), timeout=WAIT_LIMIT)
        assert caught.value.error_code == api.KORVEL_ERR_SEND
        assert bus.state == can.BusState.ERROR


def test_full_transmit_buffer_waits_for_room_or_raises_after_the_timeout(gateway):
    with open_bus(gateway("-e", "sender"), tx_buffer_size=0) as bus:
        burst = [api.CanMsg(id=0x10, length=1)] * 200

        def fill():
            # One library call queues faster than the service thread sends.
            try:
                bus.library.write_can_msg(bus.instance, burst)
            except api.KorvelError as err:
                assert err.code == api.KORVEL_ERR_TX_BUFFER_FULL

        def refused_at_once():
            fill()
            try:
                bus.send(frame(0x20), timeout=0)
            except can.CanOperationError as err:
                return err.error_code == api.KORVEL_ERR_TX_BUFFER_FULL
            return False

        assert any(refused_at_once() for _ in range(10_000))
        fill()
        bus.send(frame(0x21), timeout=WAIT_LIMIT)
        fill()
        bus.flush_tx_buffer()
        assert bus.library.get_can_buffer_info(bus.instance).txCount == 0


def test_receive_buffer_overrun_is_raised_and_kept_messages_follow(gateway):
    with open_bus(gateway("-g", "-r", "max", "-n", "200"), rx_buffer_size=4) as bus:
        wait_for(lambda: bus.library.get_can_state(bus.instance)
                 & api.KORVEL_CANSTATE_RX_OVERRUN, "a receive buffer overrun")
        with pytest.raises(can.CanOperationError, match="overrun") as caught:
            bus.recv(WAIT_LIMIT)
        assert caught.value.error_code == api.KORVEL_ERR_RX_BUFFER_OVERRUN
        first = bus.recv(WAIT_LIMIT)
        assert (first.arbitration_id, first.data) == (0, bytes(8))


def test_connection_failures_and_bad_channels_are_reported_at_open():
    with socket.socket() as probe:  # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with pytest.raises(can.CanInitializationError, match="cannot connect"):
        can.Bus(interface="korvel", channel="127.0.0.1:%d" % port, connect_timeout=WAIT_LIMIT)
    for channel in ("127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "1.2.3.4:5:6", 7):
        with pytest.raises(ValueError):
            can.Bus(interface="korvel", channel=channel)


def test_a_full_instance_table_is_an_initialization_error(gateway, python):
    sim = gateway("-e", "sender")
    script = ("import can\n"
              "first = can.Bus(interface='korvel', channel=%r)\n"
              "try:\n"
              "    can.Bus(interface='korvel', channel=%r)\n"
              "except can.CanInitializationError as err:\n"
              "    print(err.error_code)\n"
              "first.shutdown()\n" % (sim.channel, sim.channel))
    out = subprocess.run([python, "-c", script], env=dict(os.environ, KORVEL_MAXINSTANCES="1"),
                         capture_output=True, text=True, timeout=WAIT_LIMIT, check=True).stdout
    assert out.strip() == str(api.KORVEL_ERR_NO_FREE_INSTANCE)


def test_shutdown_sends_what_is_queued_and_frees_the_instance(gateway, tmp_path):
    record = tmp_path / "record.log"
    bus = open_bus(gateway("--record", str(record)))
    lib, instance = bus.library, bus.instance
    for i in range(300):
        bus.send(frame(i, i.to_bytes(2, "little")), timeout=WAIT_LIMIT)
    bus.shutdown()
    bus.shutdown()
    wait_for(lambda: record.exists() and len(read_candump_log(record)) == 300,
             "300 recorded frames")
    assert read_candump_log(record)[299] == ("12B", "2B01")
    with pytest.raises(api.KorvelError) as caught:
        lib.get_connection_state(instance)
    assert caught.value.code == api.KORVEL_ERR_ILLEGAL_INSTANCE
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.send(frame(1))
