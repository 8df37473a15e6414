"""Received CanMsg records to python-can messages, many per library call."""

import ctypes
import struct
import time

import can

from . import api

# Records taken per library call; enough for several service cycles of a
# flooding gateway, so the per-call cost is spread thin.
READ_BATCH = 4096

# CanMsg: id, flags, length, data[8], reserved[2], timestamp.
_RECORD = struct.Struct("<IBB8s2xI")
_STAMP_MASK = 0xFFFFFFFF
_STAMP_HALF = 0x80000000
_STAMP = struct.Struct("<I")
_STAMP_OFFSET = 16
# The two flag bits of each possible flags byte.
_EXTENDED = tuple(bool(flags & api.KORVEL_MSGFLAG_EXT) for flags in range(256))
_REMOTE = tuple(bool(flags & api.KORVEL_MSGFLAG_RTR) for flags in range(256))


class RecordReader:
    """Reads an instance's receive buffer into a preallocated array and turns
    the records into :class:`can.Message` objects of one channel."""

    def __init__(self, channel):
        self.channel = channel
        self._records = (api.CanMsg * READ_BATCH)()
        self._address = ctypes.addressof(self._records)
        self._info = api.BufferInfo()
        self._read = ctypes.c_uint32()
        # Received stamps are the monotonic clock in milliseconds (the clock
        # of time.monotonic() on Linux and Windows); this offset, taken once,
        # puts them on python-can's time base.
        self._time_offset = time.time() - time.monotonic()

    def read(self, lib, instance):
        """The messages waiting in the receive buffer, at most READ_BATCH."""
        dll = lib.dll
        status = dll.KORVEL_GetCanBufferInfo(instance, ctypes.byref(self._info))
        if status != api.KORVEL_OK:
            raise api.KorvelError(status, "KORVEL_GetCanBufferInfo")
        # Asking for exactly what is there: the library makes one attempt per
        # record asked for, whether a message is left or not.
        count = min(self._info.rxCount, READ_BATCH)
        if count == 0:
            return []
        status = dll.KORVEL_ReadCanMsg(instance, self._records, count, ctypes.byref(self._read))
        if status not in (api.KORVEL_OK, api.KORVEL_ERR_NO_MESSAGE):
            raise api.KorvelError(status, "KORVEL_ReadCanMsg")
        return self.messages(ctypes.string_at(self._address, self._read.value * _RECORD.size),
                             time.monotonic())

    def wall_time(self, now):
        """python-can's time for monotonic time `now`."""
        return self._time_offset + now

    def messages(self, raw, now):
        """The messages of the packed records in `raw`, read at monotonic time `now`."""
        if not raw:
            return []
        # A stamp is the low 32 bits of the millisecond clock. Within one
        # batch the stamps rise from the first record to the last; when
        # neither end lies across a wrap of the clock (every 49.7 days) from
        # `now`, every stamp maps linearly onto the wall clock.
        low = int(now * 1000) & _STAMP_MASK
        wall_now = self.wall_time(now)
        (first,) = _STAMP.unpack_from(raw, _STAMP_OFFSET)
        (last,) = _STAMP.unpack_from(raw, len(raw) - _RECORD.size + _STAMP_OFFSET)
        if _age(low, first) != low - first or _age(low, last) != low - last:
            return self._messages_across_a_wrap(raw, low, wall_now)
        base = wall_now - low * 0.001
        channel, message, extended, remote = self.channel, can.Message, _EXTENDED, _REMOTE
        return [message(base + stamp * 0.001, ident, extended[flags], remote[flags], False,
                        channel, length, data[:length])
                for ident, flags, length, data, stamp in _RECORD.iter_unpack(raw)]

    def _messages_across_a_wrap(self, raw, low, wall_now):
        return [can.Message(wall_now - _age(low, stamp) * 0.001, ident, _EXTENDED[flags],
                            _REMOTE[flags], False, self.channel, length, data[:length])
                for ident, flags, length, data, stamp in _RECORD.iter_unpack(raw)]


def _age(now_ms, stamp):
    """Milliseconds from `stamp` to `now_ms` as a signed 32-bit difference, so
    that neither a wrap nor a rounding of `now` below the stamp does harm."""
    return ((now_ms - stamp + _STAMP_HALF) & _STAMP_MASK) - _STAMP_HALF
