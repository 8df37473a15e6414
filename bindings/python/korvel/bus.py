"""python-can interface ``korvel``: a CAN bus reached through a KORVEL gateway.

    bus = can.Bus(interface="korvel", channel="127.0.0.1:29536")

The instance runs in callback mode. The library's callback thread only sets
threading events here; every library call is made from the application's
threads, so a callback never enters the library while an instance closes.
"""

import atexit
import ctypes
import functools
import logging
import socket
import threading
import time

import can

from . import api
from .records import RecordReader

log = logging.getLogger("can.korvel")
_log_received = functools.partial(logging.getLogger("can.bus").isEnabledFor,
                                  can.BusABC.RECV_LOGGING_LEVEL)

# A gateway that closes the connection raises no event; a waiting receive
# looks at the connection state at least this often (seconds).
_STATE_CHECK_INTERVAL = 0.1
# Pause between two attempts to queue a message into a full transmit buffer.
_TX_RETRY_PAUSE = 0.001
# The library sends one message per service cycle, and an idle service
# thread cycles once a millisecond; a loaded machine may take several times
# that, which the drain at shutdown allows for.
_SERVICE_PERIOD = 0.001
_PACE_MARGIN = 5
# Overruns are counted each time; a warning is logged at most this often.
_OVERRUN_WARNING_INTERVAL = 1.0
# Reopening after a lost connection: the first attempt after this pause,
# each further one after twice the pause before, up to the longest.
_FIRST_RETRY = 0.25
_LONGEST_RETRY = 5.0

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


def _channel_name(name):
    if not isinstance(name, str) or not name or any(c.isspace() for c in name):
        raise ValueError("channel_name must be a word such as 'korvel0', got %r" % (name,))
    return name


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
    :param shutdown_timeout: seconds the library may wait for the close, and
        the longest pause in the sending of queued messages at shutdown.
    :param channel_name: the channel of received messages, as logs show it.
    :param reconnect: on a lost connection open it again, with back-off,
        instead of raising.
    :param raise_on_overrun: raise when received messages were lost, instead
        of counting them in :attr:`rx_overruns` and logging a warning.
    :param library: path of the library file; by default the file named by
        ``KORVEL_LIBRARY``, the one beside this package, or the system's.

    Other keyword arguments (``bitrate``, ``single_handle``, ...) are accepted
    and ignored: the gateway's bus settings are not set from here.
    """

    def __init__(self, channel, can_filters=None, tx_buffer_size=1024, rx_buffer_size=65535,
                 connect_timeout=5.0, shutdown_timeout=1.0, channel_name="korvel0",
                 reconnect=False, raise_on_overrun=False, library=None, **kwargs):
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
        self._closed = False
        self._failure = None
        self._reconnect = bool(reconnect)
        self._raise_on_overrun = bool(raise_on_overrun)
        self._rx_overruns = 0
        self._next_overrun_warning = 0.0
        self._reconnects = 0
        self._lost_at = self._retry_at = 0.0
        self._retry_pause = _FIRST_RETRY
        self._pending = iter(())
        self._reader = RecordReader(_channel_name(channel_name))
        self._wake = threading.Event()
        self._lock = threading.RLock()
        self._params = api.InitParams(
            size=ctypes.sizeof(api.InitParams), ipAddress=address.encode("ascii"), port=port,
            protocol=api.KORVEL_PROTOCOL_TCP,
            txBufferSize=_buffer_size(tx_buffer_size, "tx_buffer_size"),
            rxBufferSize=_buffer_size(rx_buffer_size, "rx_buffer_size"),
            connectTimeout=_milliseconds(connect_timeout, "connect_timeout"),
            shutdownTimeout=_milliseconds(shutdown_timeout, "shutdown_timeout"))
        self._callback = api.EventCallback(self._on_event)
        try:
            self._open()
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
        """The library's instance number; None once shut down or while reconnecting."""
        return self._instance

    @property
    def library(self):
        """The :class:`korvel.api.Library` this bus uses."""
        return self._lib

    @property
    def rx_overruns(self):
        """How often received messages were lost because the receive buffer was
        full; each time one message or more (the library does not count them)."""
        return self._rx_overruns

    @property
    def reconnects(self):
        """How many connections were lost and given up for a new one (reconnect=True)."""
        return self._reconnects

    # ---- connection ----

    def _open(self):
        try:
            instance = self._lib.initialize(self._params, self._callback, 0)
        except api.KorvelError as err:
            raise can.CanInitializationError(
                "cannot open %s: %s" % (self.channel_info, err), error_code=err.code) from err
        self._instance, self._failure = instance, None
        with _open_lock:
            _open_buses[instance] = self
        try:
            self._wait_connected(self._params.connectTimeout / 1000.0)
        except BaseException:
            self._close_instance()
            raise

    def _wait_connected(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            self._wake.clear()
            try:
                state = self._lib.get_connection_state(self._instance)
            except api.KorvelError as err:
                # A refused connection shows as a lasting socket error.
                state = err
            if state == api.KORVEL_CONN_CONNECTED:
                return
            if state not in (api.KORVEL_CONN_CREATED, api.KORVEL_CONN_CONNECTING):
                raise can.CanInitializationError(
                    "no gateway at %s (connection refused or unreachable)" % self.channel)
            left = deadline - time.monotonic()
            if left <= 0:
                raise can.CanInitializationError("cannot connect to %s: no connection after %g s"
                                                 % (self.channel_info, timeout))
            self._wake.wait(min(left, _STATE_CHECK_INTERVAL))

    def _close_instance(self):
        instance, self._instance = self._instance, None
        if instance is None:
            return
        try:
            self._lib.shutdown(instance)
        except api.KorvelError as err:
            # The instance number is free even after a failed close.
            log.warning("closing %s: %s", self.channel_info, err)
        finally:
            with _open_lock:
                _open_buses.pop(instance, None)

    def _give_up_connection(self, err):
        """With reconnect: closes a failed connection and plans the first new attempt."""
        with self._lock:
            if not self._reconnect or self._closed:
                return False
            if self._instance is not None:
                self._close_instance()
                self._reconnects += 1
                self._lost_at = time.monotonic()
                self._retry_pause = _FIRST_RETRY
                self._retry_at = self._lost_at + _FIRST_RETRY
                log.warning("%s; reconnecting", err)
            return True

    def _reopen_when_due(self):
        with self._lock:
            if self._instance is not None or self._closed or time.monotonic() < self._retry_at:
                return
            try:
                self._open()
            except can.CanInitializationError:
                self._retry_pause = min(2 * self._retry_pause, _LONGEST_RETRY)
                self._retry_at = time.monotonic() + self._retry_pause
                return
            log.warning("reconnected to %s after a gap of %.1f s", self.channel_info,
                        time.monotonic() - self._lost_at)

    def _error(self, text, err, error_type=can.CanOperationError):
        """The python-can error for a library status; keeps a lasting one."""
        if err.code in _LASTING_ERRORS and self._failure is None:
            self._failure = err
        return error_type("%s: %s" % (text, err), error_code=err.code)

    def _open_instance(self):
        if self._instance is None:
            raise can.CanOperationError("the bus %s is %s" % (
                self.channel_info, "shut down" if self._closed else "reconnecting"))
        return self._instance

    def _check_connected(self):
        if self._failure is not None:
            raise can.CanOperationError("connection to %s failed: %s" % (
                self.channel_info, self._failure), error_code=self._failure.code)
        try:
            state = self._lib.get_connection_state(self._open_instance())
        except api.KorvelError as err:
            raise self._error("connection to " + self.channel_info, err) from err
        if state != api.KORVEL_CONN_CONNECTED:
            raise can.CanOperationError("connection to %s %s" % (
                self.channel_info, _CONNECTION_STATE_NAMES.get(state, "in state %d" % state)))

    # ---- transmit ----

    def send(self, msg, timeout=None):
        record = self._to_record(msg)
        self._reopen_when_due()
        try:
            self._write(record, timeout)
        except can.CanOperationError as err:
            if err.error_code != api.KORVEL_ERR_TX_BUFFER_FULL:
                self._give_up_connection(err)
            raise

    def _write(self, record, timeout):
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

    def recv(self, timeout=None):
        # The common case without python-can's per-message filter and log
        # calls: a message already read, no filters, no receive logging.
        if self._filters is None and not _log_received():
            msg = next(self._pending, None)
            if msg is not None:
                return msg
        return super().recv(timeout)

    def _recv_internal(self, timeout):
        msg = next(self._pending, None)
        if msg is not None:
            return msg, False
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                if self._receive_batch():
                    return next(self._pending), False
            except can.CanOperationError as err:
                if not self._give_up_connection(err):
                    raise
            left = _STATE_CHECK_INTERVAL if deadline is None else deadline - time.monotonic()
            if left <= 0:
                return None, False
            self._wake.wait(min(left, _STATE_CHECK_INTERVAL))

    def _receive_batch(self):
        """Takes the received messages into the pending ones; False when none came."""
        self._reopen_when_due()
        if self._instance is None and not self._closed:
            return False
        # Clear before reading: a message stored after this read raises a
        # new received event, so the caller's wait cannot miss it.
        self._wake.clear()
        if self._read_batch():
            return True
        try:
            self._check_connected()
        except can.CanOperationError:
            # The last messages may have been stored between the read and the
            # state check; they come before the error.
            if self._failure is None and self._read_batch():
                return True
            raise
        return False

    def _read_batch(self):
        try:
            messages = self._reader.read(self._lib, self._open_instance())
            state = self._lib.get_can_state(self._instance) if messages else 0
            if state & api.KORVEL_CANSTATE_RX_OVERRUN:
                self._lib.reset_can_state(self._instance, api.KORVEL_CANSTATE_RX_OVERRUN)
        except api.KorvelError as err:
            raise self._error("cannot receive", err) from err
        self._pending = iter(messages)
        if state & api.KORVEL_CANSTATE_RX_OVERRUN:
            self._count_overrun()
        return bool(messages)

    def _count_overrun(self):
        self._rx_overruns += 1
        text = "receive buffer overrun on %s: received messages were lost" % self.channel_info
        if self._raise_on_overrun:
            raise can.CanOperationError(text, error_code=api.KORVEL_ERR_RX_BUFFER_OVERRUN)
        now = time.monotonic()
        if now >= self._next_overrun_warning:
            self._next_overrun_warning = now + _OVERRUN_WARNING_INTERVAL
            log.warning("%s (%d overruns so far)", text, self._rx_overruns)

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
        with self._lock:
            if self._closed:
                return
            self._closed = True
            try:
                super().shutdown()
                if self._instance is not None:
                    self._drain(self._instance)
            finally:
                self._close_instance()

    def _drain(self, instance):
        # Closing discards what the library has not sent yet. Wait while the
        # transmit buffer still empties, within what a full buffer needs at
        # the library's pace. The transmit empty bit is set by the first
        # service cycle that finds nothing left after the last message went
        # to the socket.
        stall = self._params.shutdownTimeout / 1000.0
        now = time.monotonic()
        deadline = now + stall + (self._params.txBufferSize + 1) * _SERVICE_PERIOD * _PACE_MARGIN
        stalled_at, left = now + stall, None
        while now < min(deadline, stalled_at):
            try:
                if self._lib.get_connection_state(instance) != api.KORVEL_CONN_CONNECTED:
                    break
                if self._lib.get_can_state(instance) & api.KORVEL_CANSTATE_TX_EMPTY:
                    return
                count = self._lib.get_can_buffer_info(instance).txCount
            except api.KorvelError:
                break
            if count != left:
                left, stalled_at = count, now + stall
            time.sleep(_TX_RETRY_PAUSE)
            now = time.monotonic()
        try:
            left = self._lib.get_can_buffer_info(instance).txCount
        except api.KorvelError:
            pass
        if left != 0:
            log.error("closing %s: %s messages could not be sent", self.channel_info,
                      "some" if left is None else left)

    @staticmethod
    def _detect_available_configs():
        # Gateways are reached by address; there is nothing to enumerate.
        return []
