"""A thin ctypes layer over the eleven exports of the KORVEL32 library.

The records mirror ``korvel32.h`` field by field. Every function of
:class:`Library` returns normally only on status 0; any other status is raised
as :class:`KorvelError`, which carries the public status code, its name and
its text. The raw prototyped functions stay reachable as ``Library.dll`` for
callers that treat a status such as 14 (no message) as ordinary flow.
"""

import ctypes
import os
import sys
import threading

__all__ = [
    "CanMsg", "InitParams", "BufferInfo", "VersionInfo", "EventCallback",
    "KorvelError", "Library", "load_library", "library_names", "status_text",
]

# ---- Public status codes, with the name and text of each: those of the status
# lines of korvel32.h, against which a test checks this module. ----
KORVEL_OK = 0
KORVEL_ERR_NULL_POINTER = 1
KORVEL_ERR_ILLEGAL_PARAMETER = 2
KORVEL_ERR_ILLEGAL_INSTANCE = 3
KORVEL_ERR_UNKNOWN = 4
KORVEL_ERR_CONNECTION = 7
KORVEL_ERR_DISCONNECT = 8
KORVEL_ERR_NO_FREE_INSTANCE = 10
KORVEL_ERR_RESOURCE = 11
KORVEL_ERR_TX_BUFFER_FULL = 12
KORVEL_ERR_RX_BUFFER_OVERRUN = 13
KORVEL_ERR_NO_MESSAGE = 14
KORVEL_ERR_OUT_OF_MEMORY = 15
KORVEL_ERR_SEND = 16
KORVEL_ERR_RECEIVE = 17

_STATUS = {
    KORVEL_OK: ("KORVEL_OK", "success"),
    KORVEL_ERR_NULL_POINTER: ("KORVEL_ERR_NULL_POINTER", "a required pointer argument is null"),
    KORVEL_ERR_ILLEGAL_PARAMETER: ("KORVEL_ERR_ILLEGAL_PARAMETER",
                                   "InitParams.size below 44, count 0 or length above 8"),
    KORVEL_ERR_ILLEGAL_INSTANCE: ("KORVEL_ERR_ILLEGAL_INSTANCE",
                                  "instance number out of range or not open"),
    KORVEL_ERR_UNKNOWN: ("KORVEL_ERR_UNKNOWN", "an unexpected internal result"),
    KORVEL_ERR_CONNECTION: ("KORVEL_ERR_CONNECTION", "connection not established or not there"),
    KORVEL_ERR_DISCONNECT: ("KORVEL_ERR_DISCONNECT", "closing the connection failed or timed out"),
    KORVEL_ERR_NO_FREE_INSTANCE: ("KORVEL_ERR_NO_FREE_INSTANCE", "every instance number is in use"),
    KORVEL_ERR_RESOURCE: ("KORVEL_ERR_RESOURCE",
                          "out of objects, transport, threads or version data"),
    KORVEL_ERR_TX_BUFFER_FULL: ("KORVEL_ERR_TX_BUFFER_FULL", "the transmit buffer is full"),
    KORVEL_ERR_RX_BUFFER_OVERRUN: ("KORVEL_ERR_RX_BUFFER_OVERRUN",
                                   "a received message was dropped: receive buffer full"),
    KORVEL_ERR_NO_MESSAGE: ("KORVEL_ERR_NO_MESSAGE", "the first read attempt found no message"),
    KORVEL_ERR_OUT_OF_MEMORY: ("KORVEL_ERR_OUT_OF_MEMORY", "no memory for the copy of a message"),
    KORVEL_ERR_SEND: ("KORVEL_ERR_SEND", "the socket reported a send error"),
    KORVEL_ERR_RECEIVE: ("KORVEL_ERR_RECEIVE", "the socket reported a receive error"),
}

# ---- CanMsg.flags ----
KORVEL_MSGFLAG_RTR = 0x01
KORVEL_MSGFLAG_EXT = 0x02

# ---- CanState bits ----
KORVEL_CANSTATE_RX_OVERRUN = 0x0001
KORVEL_CANSTATE_TX_OVERRUN = 0x0002
KORVEL_CANSTATE_RX_EMPTY = 0x0004
KORVEL_CANSTATE_TX_EMPTY = 0x0008

# ---- KORVEL_ResetCan flags ----
KORVEL_RESET_CANSTATE = 0x01
KORVEL_RESET_TX_BUFFER = 0x02
KORVEL_RESET_RX_BUFFER = 0x04
KORVEL_RESET_SOCKET_RX = 0x08
KORVEL_RESET_SOCKET_TX = 0x10

# ---- ConnectionState ----
KORVEL_CONN_CLOSED = 0
KORVEL_CONN_CREATED = 1
KORVEL_CONN_CONNECTING = 3
KORVEL_CONN_CONNECTED = 4
KORVEL_CONN_CLOSED_BY_PEER = 5
KORVEL_CONN_LOST = 7

# ---- EventCallback codes ----
EVENT_CONNECTED = 0
EVENT_MSG_RECEIVED = 1
EVENT_STATE_CHANGED = 2
EVENT_ERROR = 3
EVENT_DISCONNECTED = 4

KORVEL_PROTOCOL_TCP = 1


def status_text(code):
    """The name and text of a public status code, e.g. ``KORVEL_ERR_CONNECTION (7): ...``."""
    name, text = _STATUS.get(code, ("KORVEL_STATUS_%d" % code, "unknown status"))
    return "%s (%d): %s" % (name, code, text)


class KorvelError(Exception):
    """A non-zero status returned by a library function."""

    def __init__(self, code, function=None):
        self.code = code
        self.name, self.text = _STATUS.get(code, ("KORVEL_STATUS_%d" % code, "unknown status"))
        self.function = function
        where = "%s: " % function if function else ""
        super().__init__(where + status_text(code))


class CanMsg(ctypes.Structure):
    _fields_ = [
        ("id", ctypes.c_uint32),
        ("flags", ctypes.c_uint8),
        ("length", ctypes.c_uint8),
        ("data", ctypes.c_uint8 * 8),
        ("reserved", ctypes.c_uint8 * 2),
        ("timestamp", ctypes.c_uint32),
    ]


class InitParams(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("ipAddress", ctypes.c_char * 20),
        ("port", ctypes.c_uint16),
        ("reserved", ctypes.c_uint8 * 2),
        ("protocol", ctypes.c_uint32),
        ("txBufferSize", ctypes.c_uint16),
        ("rxBufferSize", ctypes.c_uint16),
        ("connectTimeout", ctypes.c_uint32),
        ("shutdownTimeout", ctypes.c_uint32),
    ]


class BufferInfo(ctypes.Structure):
    _fields_ = [
        ("txBufferSize", ctypes.c_uint32),
        ("rxBufferSize", ctypes.c_uint32),
        ("txCount", ctypes.c_uint32),
        ("rxCount", ctypes.c_uint32),
    ]


class VersionInfo(ctypes.Structure):
    _fields_ = [
        ("major", ctypes.c_uint8),
        ("minor", ctypes.c_uint8),
        ("release", ctypes.c_uint8),
        ("reserved", ctypes.c_uint8),
        ("build", ctypes.c_uint16),
    ]


# The exports and the callback use __stdcall on 32-bit Windows only.
_STDCALL = sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4
_FUNCTYPE = ctypes.WINFUNCTYPE if _STDCALL else ctypes.CFUNCTYPE
_DLLTYPE = ctypes.WinDLL if _STDCALL else ctypes.CDLL

EventCallback = _FUNCTYPE(None, ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint32)

_u32, _i32, _p = ctypes.c_uint32, ctypes.c_int32, ctypes.POINTER
_PROTOTYPES = {
    "KORVEL_ResetCan": [_i32, _u32],
    "KORVEL_GetCanBufferInfo": [_i32, _p(BufferInfo)],
    "KORVEL_GetCanState": [_i32, _p(ctypes.c_uint16)],
    "KORVEL_GetConnectionState": [_i32, _p(_u32)],
    "KORVEL_GetVersion": [_p(VersionInfo)],
    "KORVEL_Initialize": [_p(_i32), _p(InitParams), EventCallback, _u32],
    "KORVEL_ReadCanMsg": [_i32, _p(CanMsg), _u32, _p(_u32)],
    "KORVEL_RegisterCanMsg": [_i32, _u32, _u32],
    "KORVEL_ResetCanState": [_i32, _u32],
    "KORVEL_Shutdown": [_i32],
    "KORVEL_WriteCanMsg": [_i32, _p(CanMsg), _u32, _p(_u32)],
}


class Library:
    """The loaded library: one method per export, raising KorvelError on a non-zero status."""

    def __init__(self, path):
        self.path = path
        self.dll = _DLLTYPE(path)
        for name, argtypes in _PROTOTYPES.items():
            function = getattr(self.dll, name)
            function.argtypes = argtypes
            function.restype = ctypes.c_uint32

    def _check(self, status, function):
        if status != KORVEL_OK:
            raise KorvelError(status, function)

    def reset_can(self, instance, flags):
        self._check(self.dll.KORVEL_ResetCan(instance, flags), "KORVEL_ResetCan")

    def get_can_buffer_info(self, instance):
        info = BufferInfo()
        self._check(self.dll.KORVEL_GetCanBufferInfo(instance, ctypes.byref(info)),
                    "KORVEL_GetCanBufferInfo")
        return info

    def get_can_state(self, instance):
        state = ctypes.c_uint16()
        self._check(self.dll.KORVEL_GetCanState(instance, ctypes.byref(state)),
                    "KORVEL_GetCanState")
        return state.value

    def get_connection_state(self, instance):
        state = ctypes.c_uint32()
        self._check(self.dll.KORVEL_GetConnectionState(instance, ctypes.byref(state)),
                    "KORVEL_GetConnectionState")
        return state.value

    def get_version(self):
        version = VersionInfo()
        self._check(self.dll.KORVEL_GetVersion(ctypes.byref(version)), "KORVEL_GetVersion")
        return version

    def initialize(self, params, callback=None, user_value=0):
        """Opens an instance and returns its number. ``params`` and ``callback``
        must be kept alive by the caller until :meth:`shutdown` has returned."""
        instance = ctypes.c_int32(-1)
        callback = callback if callback is not None else EventCallback()
        self._check(self.dll.KORVEL_Initialize(ctypes.byref(instance), ctypes.byref(params),
                                               callback, user_value), "KORVEL_Initialize")
        return instance.value

    def read_can_msg(self, instance, count=1):
        """Reads up to ``count`` messages; KorvelError 14 when there is none.

        Status 14 with messages taken by the later attempts counts as success."""
        msgs = (CanMsg * count)()
        read = ctypes.c_uint32()
        status = self.dll.KORVEL_ReadCanMsg(instance, msgs, count, ctypes.byref(read))
        if not (status == KORVEL_ERR_NO_MESSAGE and read.value > 0):
            self._check(status, "KORVEL_ReadCanMsg")
        return list(msgs[:read.value])

    def register_can_msg(self, instance, unused1=0, unused2=0):
        self._check(self.dll.KORVEL_RegisterCanMsg(instance, unused1, unused2),
                    "KORVEL_RegisterCanMsg")

    def reset_can_state(self, instance, mask):
        self._check(self.dll.KORVEL_ResetCanState(instance, mask), "KORVEL_ResetCanState")

    def shutdown(self, instance):
        self._check(self.dll.KORVEL_Shutdown(instance), "KORVEL_Shutdown")

    def write_can_msg(self, instance, msgs):
        """Queues the messages in order; KorvelError when one is refused. Returns the count."""
        array = (CanMsg * len(msgs))(*msgs)
        written = ctypes.c_uint32()
        self._check(self.dll.KORVEL_WriteCanMsg(instance, array, len(msgs), ctypes.byref(written)),
                    "KORVEL_WriteCanMsg")
        return written.value


def library_names():
    """File names of the library on this platform."""
    return ["KORVEL32.dll"] if sys.platform == "win32" else ["libkorvel32.so"]


_loaded = {}
_load_lock = threading.Lock()


def load_library(path=None):
    """Loads the library once per file and returns its :class:`Library`.

    Looked for, in this order: ``path``; the file named by the environment
    variable ``KORVEL_LIBRARY``; the file beside this package; the system's
    library search path. Raises OSError naming every place tried.
    """
    candidates = []
    if path:
        candidates.append(("argument", os.fspath(path), True))
    elif os.environ.get("KORVEL_LIBRARY"):
        candidates.append(("KORVEL_LIBRARY", os.environ["KORVEL_LIBRARY"], True))
    else:
        here = os.path.dirname(os.path.abspath(__file__))
        for name in library_names():
            candidates.append(("package", os.path.join(here, name), False))
        for name in library_names():
            candidates.append(("system path", name, True))
    tried = []
    with _load_lock:
        for origin, candidate, required in candidates:
            if not required and not os.path.isfile(candidate):
                tried.append("%s (%s): not there" % (candidate, origin))
                continue
            if candidate in _loaded:
                return _loaded[candidate]
            try:
                library = Library(candidate)
            except (OSError, AttributeError) as err:
                tried.append("%s (%s): %s" % (candidate, origin, err))
                continue
            _loaded[candidate] = library
            return library
    raise OSError("the KORVEL32 library could not be loaded; tried " + "; ".join(tried))
