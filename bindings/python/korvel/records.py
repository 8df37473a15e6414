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
_EXT, _RTR = api.KORVEL_MSGFLAG_EXT, api.KORVEL_MSGFLAG_RTR


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

    def messages(self, raw, now):
        """The messages of the packed records in `raw`, read at monotonic time `now`."""
        # A stamp is the low 32 bits of the millisecond clock; its age is a
        # signed 32-bit difference, so neither the wrap every 49.7 days nor
        # a rounding of `now` below the stamp's millisecond does harm.
        now_ms = int(now * 1000)
        wall_now = self._time_offset + now
        low = now_ms & _STAMP_MASK
        channel, message = self.channel, can.Message
        return [
            message(wall_now - (((low - stamp + _STAMP_HALF) & _STAMP_MASK) - _STAMP_HALF) * 0.001,
                    ident, (flags & _EXT) != 0, (flags & _RTR) != 0, False, channel, length, data[:length])
            for ident, flags, length, data, stamp in _RECORD.iter_unpack(raw)
        ]
