"""python-can interface ``korvel``: a CAN bus reached through a KORVEL gateway.

    bus = can.Bus(interface="korvel", channel="127.0.0.1:29536")

The instance runs in callback mode. The library's callback thread only sets
threading events here; every library call is made from the application's
threads, so a callback never enters the library while an instance closes.
"""

import atexit
import collections
import ctypes
import logging
import socket
import threading
import time

import can

from . import api

log = logging.getLogger("can.korvel")

# Messages taken from the library per read call.
_READ_BATCH = 64
# A gateway that closes the connection raises no event; a waiting receive
# looks at the connection state at least this often (seconds).
_STATE_CHECK_INTERVAL = 0.1
# Pause between two attempts to queue a message into a full transmit buffer.
_TX_RETRY_PAUSE = 0.001

_CONNECTION_STATE_NAMES = {
    api.KORVEL_CONN_CLOSED: "closed",
    api.KORVEL_CONN_CREATED: "created",
    api.KORVEL_CONN_CONNECTING: "connecting",
    api.KORVEL_CONN_CONNECTED: "connected",
    api.KORVEL_CONN_CLOSED_BY_PEER: "closed by the gateway",
    api.KORVEL_CONN_LOST: "lost",
}

# Open buses by instance number. The library holds pointers to each bus's
# InitParams and callback; keeping the bus here keeps them alive until the
# instance is shut down, also when the application drops the bus unclosed.
_open_buses = {}
_open_lock = threading.Lock()


def _shutdown_open_buses():
    with _open_lock:
        buses = list(_open_buses.values())
    for bus in buses:
        bus.shutdown()


# Interpreter exit must not find a callback thread that calls into Python.
atexit.register(_shutdown_open_buses)


def parse_channel(channel):
    """Splits "HOST:PORT" into an IPv4 address text and a port number."""
    if not isinstance(channel, str) or channel.count(":") != 1:
        raise ValueError("channel must be 'HOST:PORT', got %r" % (channel,))
    host, port_text = channel.split(":")
    if not port_text.isdigit() or not 0 < int(port_text) < 65536:
        raise ValueError("channel %r: port must be 1 to 65535" % channel)
    try:
        address = socket.gethostbyname(host)
    except OSError as err:
        raise ValueError("channel %r: unknown host %r (%s)" % (channel, host, err)) from None
    return address, int(port_text)


def _milliseconds(seconds, name):
    value = int(round(float(seconds) * 1000))
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError("%s out of range: %r" % (name, seconds))
    return value


def _buffer_size(value, name):
    value = int(value)
    if not 0 <= value <= 0xFFFF:
        raise ValueError("%s must be 0 to 65535, got %d" % (name, value))
    return value


# A socket error stays recorded in the library's instance, but is reported
# by one call per service cycle only; the bus keeps the first one it sees.
_LASTING_ERRORS = (api.KORVEL_ERR_UNKNOWN, api.KORVEL_ERR_CONNECTION, api.KORVEL_ERR_SEND,
                   api.KORVEL_ERR_RECEIVE)


class KorvelBus(can.BusABC):
    """A CAN bus behind a KORVEL gateway, through the KORVEL32 library.

    :param channel: the gateway as "HOST:PORT" (an IPv4 address or a host name).
    :param tx_buffer_size: transmit buffer of the library, in messages.
    :param rx_buffer_size: receive buffer of the library, in messages.
    :param connect_timeout: seconds to wait for the connection at start.
    :param shutdown_timeout: seconds the library may wait for the close.
    :param library: path of the library file; by default the file named by
        ``KORVEL_LIBRARY``, the one beside this package, or the system's.

    Other keyword arguments (``bitrate``, ``single_handle``, ...) are accepted
    and ignored: the gateway's bus settings are not set from here.
    """

    def __init__(self, channel, can_filters=None, tx_buffer_size=1024, rx_buffer_size=8192,
                 connect_timeout=5.0, shutdown_timeout=1.0, library=None, **kwargs):
        address, port = parse_channel(channel)
        if kwargs.get("fd"):
            raise can.CanInterfaceNotImplementedError("the KORVEL gateway carries no CAN FD frames")
        try:
            self._lib = api.load_library(library)
        except OSError as err:
            raise can.CanInterfaceNotImplementedError(str(err)) from err

        super().__init__(channel, can_filters=can_filters, **kwargs)
        self.channel = channel
        self.channel_info = "KORVEL gateway %s:%d" % (address, port)
        self._instance = None
        self._failure = None
        self._pending = collections.deque()
        self._read_buffer = (api.CanMsg * _READ_BATCH)()
        self._wake = threading.Event()
        self._shutdown_lock = threading.Lock()
        self._params = api.InitParams(
            size=ctypes.sizeof(api.InitParams), ipAddress=address.encode("ascii"), port=port,
            protocol=api.KORVEL_PROTOCOL_TCP,
            txBufferSize=_buffer_size(tx_buffer_size, "tx_buffer_size"),
            rxBufferSize=_buffer_size(rx_buffer_size, "rx_buffer_size"),
            connectTimeout=_milliseconds(connect_timeout, "connect_timeout"),
            shutdownTimeout=_milliseconds(shutdown_timeout, "shutdown_timeout"))
        self._callback = api.EventCallback(self._on_event)
        # Received stamps are the monotonic clock in milliseconds (the clock
        # of time.monotonic() on Linux and Windows); this offset, taken once,
        # puts them on python-can's time base.
        self._time_offset = time.time() - time.monotonic()

        try:
            self._instance = self._lib.initialize(self._params, self._callback, 0)
        except api.KorvelError as err:
            self.shutdown()
            raise can.CanInitializationError(
                "cannot open %s: %s" % (self.channel_info, err), error_code=err.code) from err
        with _open_lock:
            _open_buses[self._instance] = self
        try:
            self._wait_connected(float(connect_timeout))
        except BaseException:
            self.shutdown()
            raise

    # Runs on the library's callback thread. Every event (connected,
    # received, error, state change) only wakes whoever waits on the bus,
    # which then asks the library itself.
    def _on_event(self, instance, code, user_value):
        self._wake.set()

    @property
    def instance(self):
        """The library's instance number, or None once shut down."""
        return self._instance

    @property
    def library(self):
        """The :class:`korvel.api.Library` this bus uses."""
        return self._lib

    def _wait_connected(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            self._wake.clear()
            # A refused connection shows as a pending socket error here.
            state = self._connection_state("cannot connect to " + self.channel_info,
                                           can.CanInitializationError)
            if state == api.KORVEL_CONN_CONNECTED:
                return
            if state not in (api.KORVEL_CONN_CREATED, api.KORVEL_CONN_CONNECTING):
                raise can.CanInitializationError("cannot connect to %s: connection %s" % (
                    self.channel_info, _CONNECTION_STATE_NAMES.get(state, state)))
            left = deadline - time.monotonic()
            if left <= 0:
                raise can.CanInitializationError("cannot connect to %s: no connection after %g s"
                                                 % (self.channel_info, timeout))
            self._wake.wait(min(left, _STATE_CHECK_INTERVAL))

    def _error(self, text, err, error_type=can.CanOperationError):
        """The python-can error for a library status; keeps a lasting one."""
        if err.code in _LASTING_ERRORS and self._failure is None:
            self._failure = err
        return error_type("%s: %s" % (text, err), error_code=err.code)

    def _connection_state(self, text, error_type=can.CanOperationError):
        try:
            return self._lib.get_connection_state(self._open_instance())
        except api.KorvelError as err:
            raise self._error(text, err, error_type) from err

    def _open_instance(self):
        if self._instance is None:
            raise can.CanOperationError("the bus %s is shut down" % self.channel_info)
        return self._instance

    def _check_connected(self):
        if self._failure is not None:
            raise can.CanOperationError("connection to %s failed: %s" % (
                self.channel_info, self._failure), error_code=self._failure.code)
        state = self._connection_state("connection to " + self.channel_info)
        if state != api.KORVEL_CONN_CONNECTED:
            raise can.CanOperationError("connection to %s %s" % (
                self.channel_info, _CONNECTION_STATE_NAMES.get(state, "in state %d" % state)))

    # ---- transmit ----

    def send(self, msg, timeout=None):
        record = self._to_record(msg)
        self._check_connected()
        instance = self._open_instance()
        deadline = None if timeout is None else time.monotonic() + timeout
        written = ctypes.c_uint32()
        while True:
            status = self._lib.dll.KORVEL_WriteCanMsg(instance, ctypes.byref(record), 1,
                                                      ctypes.byref(written))
            if status == api.KORVEL_OK:
                return
            if status != api.KORVEL_ERR_TX_BUFFER_FULL:
                raise self._error("cannot send", api.KorvelError(status, "KORVEL_WriteCanMsg"))
            if deadline is not None and time.monotonic() >= deadline:
                raise can.CanOperationError(
                    "transmit buffer full: message not sent within %g s" % timeout,
                    error_code=status)
            # The library signals no free space; its service thread sends one
            # message per millisecond or sooner, so a short pause suffices.
            self._check_connected()
            time.sleep(_TX_RETRY_PAUSE)

    def _to_record(self, msg):
        if msg.is_fd or msg.is_error_frame:
            raise can.CanOperationError("the KORVEL gateway carries classic CAN data and "
                                        "remote frames only")
        if not 0 <= msg.dlc <= 8 or len(msg.data) > 8:
            raise can.CanOperationError("data length above 8: %r" % msg)
        record = api.CanMsg(id=msg.arbitration_id, length=msg.dlc)
        record.flags = ((api.KORVEL_MSGFLAG_EXT if msg.is_extended_id else 0)
                        | (api.KORVEL_MSGFLAG_RTR if msg.is_remote_frame else 0))
        if not msg.is_remote_frame:
            ctypes.memmove(record.data, bytes(msg.data), len(msg.data))
        return record

    def flush_tx_buffer(self):
        try:
            self._lib.reset_can(self._open_instance(),
                                api.KORVEL_RESET_TX_BUFFER | api.KORVEL_RESET_SOCKET_TX)
        except api.KorvelError as err:
            raise self._error("cannot flush the transmit buffer", err) from err

    # ---- receive ----

    def _recv_internal(self, timeout):
        if self._pending:
            return self._pending.popleft(), False
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            # Clear before reading: a message stored after this read raises
            # a new received event, so the wait below cannot miss it.
            self._wake.clear()
            if self._read_batch():
                return self._pending.popleft(), False
            try:
                self._check_connected()
            except can.CanOperationError:
                # The last messages may have been stored between the read and
                # the state check; they come before the error.
                if self._failure is None and self._read_batch():
                    return self._pending.popleft(), False
                raise
            left = _STATE_CHECK_INTERVAL if deadline is None else deadline - time.monotonic()
            if left <= 0:
                return None, False
            self._wake.wait(min(left, _STATE_CHECK_INTERVAL))

    def _read_batch(self):
        read = ctypes.c_uint32()
        status = self._lib.dll.KORVEL_ReadCanMsg(self._open_instance(), self._read_buffer,
                                                 _READ_BATCH, ctypes.byref(read))
        # "No message" only says that the first attempt found none; later
        # attempts may still have taken messages that arrived meanwhile.
        if status == api.KORVEL_ERR_NO_MESSAGE and read.value == 0:
            return False
        if status not in (api.KORVEL_OK, api.KORVEL_ERR_NO_MESSAGE):
            raise self._error("cannot receive", api.KorvelError(status, "KORVEL_ReadCanMsg"))
        now = time.monotonic()
        for record in self._read_buffer[:read.value]:
            self._pending.append(self._to_message(record, now))
        self._check_overrun()
        return True

    def _check_overrun(self):
        instance = self._open_instance()
        try:
            state = self._lib.get_can_state(instance)
            if state & api.KORVEL_CANSTATE_RX_OVERRUN:
                self._lib.reset_can_state(instance, api.KORVEL_CANSTATE_RX_OVERRUN)
        except api.KorvelError as err:
            raise self._error("cannot read the CAN state", err) from err
        if state & api.KORVEL_CANSTATE_RX_OVERRUN:
            raise can.CanOperationError(
                "receive buffer overrun on %s: received messages were lost" % self.channel_info,
                error_code=api.KORVEL_ERR_RX_BUFFER_OVERRUN)

    def _to_message(self, record, now):
        # The stamp is the low 32 bits of the millisecond clock; its age is
        # a signed 32-bit difference, so neither the wrap every 49.7 days nor
        # a rounding of `now` below the stamp's millisecond does harm.
        age = (int(now * 1000) - record.timestamp) & 0xFFFFFFFF
        if age >= 0x80000000:
            age -= 0x100000000
        remote = bool(record.flags & api.KORVEL_MSGFLAG_RTR)
        length = record.length
        return can.Message(
            timestamp=self._time_offset + now - age / 1000.0,
            arbitration_id=record.id,
            is_extended_id=bool(record.flags & api.KORVEL_MSGFLAG_EXT),
            is_remote_frame=remote,
            dlc=length,
            data=None if remote else bytes(record.data[:min(length, 8)]),
            channel=self.channel,
            is_rx=True,
            check=False)

    # ---- state and shutdown ----

    @property
    def state(self):
        """ACTIVE while connected to the gateway, ERROR otherwise."""
        if self._instance is None or self._failure is not None:
            return can.BusState.ERROR
        try:
            connected = self._lib.get_connection_state(self._instance) == api.KORVEL_CONN_CONNECTED
        except api.KorvelError as err:
            self._error("connection state", err)
            connected = False
        return can.BusState.ACTIVE if connected else can.BusState.ERROR

    @state.setter
    def state(self, new_state):
        if new_state != can.BusState.ACTIVE:
            raise NotImplementedError("the KORVEL gateway has no passive mode")

    def shutdown(self):
        with self._shutdown_lock:
            instance, self._instance = self._instance, None
            if instance is None:
                super().shutdown()
                return
            try:
                super().shutdown()
                self._drain(instance)
            finally:
                try:
                    self._lib.shutdown(instance)
                except api.KorvelError as err:
                    # The instance number is free even after a failed close.
                    log.warning("closing %s: %s", self.channel_info, err)
                finally:
                    with _open_lock:
                        _open_buses.pop(instance, None)

    def _drain(self, instance):
        # Closing discards what the library has not sent yet. The transmit
        # empty bit is cleared by every accepted write and set by the first
        # service cycle that finds nothing left, after the last message went
        # to the socket: wait for it while the connection lasts.
        deadline = time.monotonic() + self._params.shutdownTimeout / 1000.0
        while time.monotonic() < deadline:
            try:
                if self._lib.get_connection_state(instance) != api.KORVEL_CONN_CONNECTED:
                    return
                if self._lib.get_can_state(instance) & api.KORVEL_CANSTATE_TX_EMPTY:
                    return
            except api.KorvelError:
                return
            time.sleep(_TX_RETRY_PAUSE)
        log.warning("closing %s with messages not yet sent", self.channel_info)

    @staticmethod
    def _detect_available_configs():
        # Gateways are reached by address; there is nothing to enumerate.
        return []
