"""The ctypes layer: record layout, statuses as KorvelError, finding the library."""

import ctypes
import os
import subprocess

import can
import pytest

import korvel
from conftest import wait_for
from korvel import api


@pytest.fixture(scope="module")
def lib():
    return api.load_library()


def test_records_have_the_binary_layout_of_the_header():
    layout = {
        api.CanMsg: (20, [("id", 0), ("flags", 4), ("length", 5), ("data", 6),
                          ("reserved", 14), ("timestamp", 16)]),
        api.InitParams: (44, [("size", 0), ("ipAddress", 4), ("port", 24), ("reserved", 26),
                              ("protocol", 28), ("txBufferSize", 32), ("rxBufferSize", 34),
                              ("connectTimeout", 36), ("shutdownTimeout", 40)]),
        api.BufferInfo: (16, [("txBufferSize", 0), ("rxBufferSize", 4), ("txCount", 8),
                              ("rxCount", 12)]),
        api.VersionInfo: (6, [("major", 0), ("minor", 1), ("release", 2), ("reserved", 3),
                              ("build", 4)]),
    }
    for record, (size, fields) in layout.items():
        assert ctypes.sizeof(record) == size, record.__name__
        assert [(name, getattr(record, name).offset) for name, _ in fields] == fields


def test_version_is_read_from_the_loaded_library(lib):
    version = lib.get_version()
    assert (version.major, version.minor, version.release, version.build) == (2, 0, 9, 1)


def test_statuses_are_raised_with_code_name_and_text(lib):
    with pytest.raises(api.KorvelError) as caught:
        lib.get_connection_state(0)
    error = caught.value
    assert (error.code, error.name, error.function) == (
        3, "KORVEL_ERR_ILLEGAL_INSTANCE", "KORVEL_GetConnectionState")
    assert "KORVEL_ERR_ILLEGAL_INSTANCE (3)" in str(error) and error.text in str(error)

    params = api.InitParams(size=43, ipAddress=b"127.0.0.1", port=1, protocol=1)
    with pytest.raises(api.KorvelError) as caught:
        lib.initialize(params)
    assert caught.value.code == api.KORVEL_ERR_ILLEGAL_PARAMETER
    for call in (lambda: lib.read_can_msg(0), lambda: lib.write_can_msg(0, [api.CanMsg()]),
                 lambda: lib.shutdown(0), lambda: lib.reset_can(0, 1)):
        with pytest.raises(api.KorvelError) as caught:
            call()
        assert caught.value.code == api.KORVEL_ERR_ILLEGAL_INSTANCE


def test_thin_layer_moves_messages_through_a_polling_instance(lib, gateway):
    sim = gateway("-e", "sender")
    host, port = sim.channel.split(":")
    params = api.InitParams(size=44, ipAddress=host.encode(), port=int(port), protocol=1,
                            txBufferSize=8, rxBufferSize=8, connectTimeout=5000,
                            shutdownTimeout=1000)
    instance = lib.initialize(params)
    try:
        assert lib.get_connection_state(instance) == api.KORVEL_CONN_CONNECTED
        sent = [api.CanMsg(id=0x1ABCDEF0, flags=api.KORVEL_MSGFLAG_EXT, length=3),
                api.CanMsg(id=0x7FF, flags=api.KORVEL_MSGFLAG_RTR, length=8)]
        sent[0].data[:3] = [0xDE, 0xAD, 0x01]
        assert lib.write_can_msg(instance, sent) == 2
        received = []

        def collect():
            try:
                received.extend(lib.read_can_msg(instance, 4))
            except api.KorvelError as err:
                assert err.code == api.KORVEL_ERR_NO_MESSAGE
            return len(received) == 2
        wait_for(collect, "the echo of two messages")
        assert [(m.id, m.flags, m.length, bytes(m.data[:3])) for m in received] == [
            (0x1ABCDEF0, 2, 3, b"\xde\xad\x01"), (0x7FF, 1, 8, b"\0\0\0")]
        info = lib.get_can_buffer_info(instance)
        assert (info.txBufferSize, info.rxBufferSize, info.rxCount) == (8, 8, 0)
    finally:
        lib.shutdown(instance)


def test_library_is_found_beside_the_package_when_no_variable_names_one(python):
    env = dict(os.environ)
    env.pop("KORVEL_LIBRARY", None)
    out = subprocess.run([python, "-c", "import korvel; print(korvel.load_library().path)"],
                         env=env, capture_output=True, text=True, check=True).stdout.strip()
    assert out == os.path.join(os.path.dirname(korvel.__file__), "libkorvel32.so")


def test_a_missing_library_is_reported_as_interface_not_implemented(python, tmp_path):
    env = dict(os.environ, KORVEL_LIBRARY=str(tmp_path / "libkorvel32.so"))
    script = ("import can\n"
              "try:\n"
              "    can.Bus(interface='korvel', channel='127.0.0.1:1')\n"
              "except can.CanInterfaceNotImplementedError as err:\n"
              "    print('not implemented:', err)\n")
    out = subprocess.run([python, "-c", script], env=env, capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("not implemented:") and "KORVEL_LIBRARY" in out


def test_messages_taken_after_an_empty_first_attempt_are_kept():
    # The library reports 14 when its first attempt finds the buffer empty,
    # even when later attempts of the same call take messages.
    class LateArrival:
        def KORVEL_ReadCanMsg(self, instance, msgs, count, read):
            msgs[0].id = 0x123
            read._obj.value = 1  # the c_uint32 behind ctypes.byref
            return api.KORVEL_ERR_NO_MESSAGE

    stand_in = api.Library.__new__(api.Library)
    stand_in.dll = LateArrival()
    assert [msg.id for msg in stand_in.read_can_msg(1, 4)] == [0x123]
