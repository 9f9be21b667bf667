"""Loading the library, the prototypes of the exports used, and the texts
the library gives (message boxes, console lines) while a call runs.

Every export is called through ctypes.CDLL: cdecl on Windows, and the GIL is
released for the length of the call, so other Python threads run while an
acquisition waits for its samples.
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import logging
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_double, c_int, c_uint32, c_void_p

from .errors import KelmoError, LibraryNotFoundError

log = logging.getLogger("kelmo")

_HERE = os.path.dirname(os.path.abspath(__file__))


class AdParamRecord(ctypes.Structure):
    """The record GetADParameterEx fills (natural alignment: the two list
    pointers sit at 880 and 880 + pointer size)."""

    _fields_ = [
        ("channelCount", ctypes.c_int32),
        ("gainCount", ctypes.c_int32),
        ("freqCount", ctypes.c_int32),
        ("auxCode", ctypes.c_int32),
        ("flagA", ctypes.c_int32),
        ("flagsB", ctypes.c_int32 * 7),
        ("bytesPerSample", ctypes.c_int32),
        ("gap52", ctypes.c_int32),
        ("highFreq", c_double),
        ("lowFreq", c_double),
        ("fullScale", ctypes.c_int32),
        ("reservedZero", ctypes.c_int32),
        ("callerArea", ctypes.c_uint8 * 800),
        ("gainsOut", POINTER(c_double)),
        ("freqsOut", POINTER(c_double)),
    ]


# The handler the library calls with each text (bytes in the GBK code page).
MessageHandler = ctypes.CFUNCTYPE(None, c_char_p, c_void_p)

_p = c_void_p  # every array goes over as the address of a numpy buffer
_PROTOTYPES = {
    "Checkcard": (c_int, [c_int, c_char_p, POINTER(c_int)]),
    "GetADParameter": (None, [c_int, POINTER(c_int), _p, POINTER(c_int), _p, POINTER(c_int), POINTER(c_int),
                              POINTER(c_double), POINTER(c_double), POINTER(c_int)]),
    "GetADParameterEx": (c_int, [c_int, POINTER(AdParamRecord), _p, _p]),
    "GetCardWordType": (None, [c_int, POINTER(c_int)]),
    "PreSamp": (c_int, [c_int, c_double, POINTER(c_uint32), POINTER(c_double)]),
    "GetFre": (c_int, [c_int, c_uint32, POINTER(c_double), c_int]),
    "convert": (c_int, [c_int, _p, _p, c_int, c_int, POINTER(c_int), POINTER(c_int)]),
    "MulChSam": (c_int, [c_int, c_int, c_int, c_int, c_int, _p]),
    "MulChSamW": (c_int, [c_int, c_int, c_int, c_int, c_int, _p]),
    "MulChSamEx": (c_int, [c_int, c_int, c_int, c_int, c_int, _p, _p, POINTER(c_int)]),
    "MulChSamWEx": (c_int, [c_int, c_int, c_int, c_int, c_int, _p, _p, POINTER(c_int)]),
    "Set_dbl_MulChSam": (c_int, [POINTER(c_uint32), c_int, c_int, c_int, c_int, c_int]),
    "Set_dbl_MulChSamEx": (c_int, [POINTER(c_uint32), c_int, c_int, c_int, c_int, c_int, _p, POINTER(c_int)]),
    "get_dbl_data": (c_int, [POINTER(c_uint32), c_int, c_int, c_int, _p, c_int, c_int, POINTER(c_int)]),
    "get_dbl_dataW": (c_int, [POINTER(c_uint32), c_int, c_int, c_int, _p, c_int, c_int, POINTER(c_int)]),
    "recover": (None, [POINTER(c_uint32), c_int]),
    "TriMulChSam": (c_int, [c_int, c_int, c_double, c_int, c_int, c_int, c_int, c_int, _p]),
    "TriMulChSamEx": (c_int, [c_int, c_int, c_double, c_int, c_int, c_int, c_int, c_int, _p, _p, POINTER(c_int)]),
    "InterruptTrigSample": (c_int, []),
    "memcof": (None, [_p, c_int, c_int, POINTER(c_double), _p]),
    "evlmem": (c_double, [c_double, c_double, c_int, _p, _p, c_int, c_double]),
    "spline": (None, [_p, _p, c_int, c_double, c_double, _p]),
    "splint": (c_double, [_p, _p, _p, c_int, c_double]),
    "OpenSpeaker": (c_int, [c_double, c_int, c_int, c_double]),
    "TransSpeakerData": (c_int, [c_int, c_int, c_int, _p, _p]),
    "CloseSpeaker": (c_int, []),
    "kelmo_set_message_handler": (None, [MessageHandler, c_void_p]),
    "kelmo_last_error": (c_int, [c_char_p, c_int]),
    "kelmo_version": (c_char_p, []),
    "kelmo_card_stands_for": (c_int, [c_int]),
    "kelmo_card_source": (c_int, [c_int]),
    "kelmo_card_rates": (c_int, [c_int, _p, c_int]),
    "kelmo_card_rate_limits": (c_int, [c_int, POINTER(c_double), POINTER(c_double)]),
    "kelmo_card_gains": (c_int, [c_int, _p, c_int]),
    "kelmo_card_divider": (c_int, [c_int, c_double, c_int, POINTER(c_uint32), POINTER(c_double)]),
    "kelmo_block_limit": (c_int, [c_int, c_int]),
}


def _installed_library() -> str | None:
    """The library of the prefix this package was installed into by
    ``cmake --install`` (which writes _installed.py), else None."""
    try:
        from . import _installed  # type: ignore  # written by cmake --install only
    except ImportError:
        return None
    return os.path.normpath(os.path.join(_HERE, _installed.LIBRARY))


def _candidates() -> list[str]:
    names = ["kelmo.dll"] if os.name == "nt" else ["libkelmo.so.0", "libkelmo.so"]
    out = []
    env = os.environ.get("KELMO_LIBRARY")
    if env:
        out.append(env)
    out += [os.path.join(_HERE, n) for n in names]
    installed = _installed_library()
    if installed:
        out.append(installed)
    found = ctypes.util.find_library("kelmo")
    if found:
        out.append(found)
    out += names  # the system's own search (ld.so's paths, or the DLL search order)
    seen, unique = set(), []
    for c in out:
        if c not in seen:
            seen.add(c)
            unique.append(c)
    return unique


def _load() -> tuple[ctypes.CDLL, str]:
    tried = []
    for path in _candidates():
        local = os.sep in path or (os.altsep and os.altsep in path)
        if local and not os.path.exists(path):
            tried.append((path, "no such file"))
            continue
        try:
            dll = ctypes.CDLL(path)
        except OSError as e:
            tried.append((path, str(e) or type(e).__name__))
            continue
        missing = [name for name in _PROTOTYPES if not hasattr(dll, name)]
        if missing:
            tried.append((path, "not this library (no " + ", ".join(missing[:3]) + ")"))
            continue
        if tried and os.environ.get("KELMO_LIBRARY") == tried[0][0]:
            log.warning("KELMO_LIBRARY (%s) did not load (%s); using %s", tried[0][0], tried[0][1], path)
        return dll, path
    raise LibraryNotFoundError(tried)


def decode(text: bytes) -> str:
    """A text of the library (GBK bytes) as a str, without a trailing line feed."""
    return text.decode("gbk", errors="replace").rstrip("\r\n")


class _Captures(threading.local):
    def __init__(self):
        self.stack: list[list[str]] = []


_captures = _Captures()


def _on_message(text, _context):
    # The library calls back on the thread that made the call.
    try:
        msg = decode(text or b"")
        if _captures.stack:
            _captures.stack[-1].append(msg)
        else:
            sys.stderr.write(msg + "\n")
    except Exception:  # nothing may leave a callback
        pass


@contextlib.contextmanager
def capture():
    """Collects the library's texts of the calls made inside, on this thread."""
    box: list[str] = []
    _captures.stack.append(box)
    try:
        yield box
    finally:
        _captures.stack.pop()


def report(messages: list[str], function: str) -> None:
    """Texts of a call that succeeded all the same go to the log."""
    for m in messages:
        log.warning("%s: %s", function, m)


class _Library:
    def __init__(self):
        self._dll = None
        self.path = None
        self._handler = None
        self._lock = threading.Lock()

    def _open(self):
        with self._lock:
            if self._dll is not None:
                return
            dll, path = _load()
            for name, (restype, argtypes) in _PROTOTYPES.items():
                f = getattr(dll, name)
                f.restype = restype
                f.argtypes = argtypes
            # Kept in this object for the life of the process: the library
            # holds the pointer, and a collected callback would crash it.
            self._handler = MessageHandler(_on_message)
            dll.kelmo_set_message_handler(self._handler, None)
            self.path = path
            self._dll = dll

    def __getattr__(self, name):
        if self._dll is None:
            self._open()
        return getattr(self._dll, name)


lib = _Library()


def library_path() -> str:
    """The file the library was loaded from (loads it if needed)."""
    lib._open()
    return lib.path


def last_error() -> str:
    """Why this thread's last export failed, in the library's words ("" when
    it did not): valid until the thread's next export, so read it first."""
    size = lib.kelmo_last_error(None, 0)
    if size <= 0:
        return ""
    buf = ctypes.create_string_buffer(size + 1)
    lib.kelmo_last_error(buf, size + 1)
    return buf.value.decode("utf-8", errors="replace")


def failure(message: str, function: str, messages: list[str] | tuple[str, ...] = (), *,
            error: type[KelmoError] = KelmoError, **details) -> KelmoError:
    """The exception for the export ``function`` that has just failed on this
    thread, carrying the library's reason: made before any other export runs
    on the thread (even recover), which would replace the reason."""
    return error(message, function=function, messages=tuple(messages), reason=last_error(), **details)


def library_version() -> str:
    """The version of the library loaded ("MAJOR.MINOR.PATCH")."""
    return lib.kelmo_version().decode("ascii", errors="replace")


def as_int(v: int) -> int:
    """An unsigned 32-bit value (a divider) as the int argument that carries it."""
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= (1 << 31) else v
