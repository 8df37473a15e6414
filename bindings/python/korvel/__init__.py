"""KORVEL32 for Python: the library's exports through ctypes (``korvel.api``)
and the python-can interface ``korvel`` (``korvel.Bus``)."""

from . import api
from .api import KorvelError, load_library
from .bus import KorvelBus

Bus = KorvelBus

__all__ = ["api", "Bus", "KorvelBus", "KorvelError", "load_library"]
__version__ = "2.0.9.1"
