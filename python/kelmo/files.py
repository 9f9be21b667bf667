"""Writing acquisitions to files: HDF5 (.h5), NumPy (.npy with a .json of
its facts), CSV and WAV, and the formats the kelmo tool adds where it was
built with them (.sr, .flac). The files are those ``kelmo acquire -o``
writes: the same writers, loaded from the library ``libkelmo-record``
beside the kelmo library, behind the same queue (a writer thread, so that
the acquisition never waits for the disk).
"""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
from ctypes import POINTER, c_char_p, c_double, c_int, c_int32, c_uint32, c_void_p
from os import PathLike
from typing import Sequence

import numpy as np

from ._lib import lib, library_path
from .errors import KelmoError


class _Target(ctypes.Structure):
    _fields_ = [
        ("path", c_char_p),
        ("format", c_char_p),
        ("rate", c_double),
        ("channelCount", c_int32),
        ("channels", POINTER(c_int32)),
        ("fullScale", c_double),
        ("cardType", c_int32),
        ("gain", c_int32),
        ("divider", c_uint32),
        ("compress", c_int32),
        ("rawBytes", c_int32),
        ("rawSigned", c_int32),
        ("rawScale", c_double),
        ("rawOffset", c_double),
        ("parameters", c_char_p),
        ("bufferSeconds", c_double),
    ]


_record = None


def _writers() -> ctypes.CDLL:
    """The writers' library: ``$KELMO_RECORD_LIBRARY``, else beside the
    kelmo library in use."""
    global _record
    if _record is not None:
        return _record
    name = "kelmo-record.dll" if os.name == "nt" else "libkelmo-record.so"
    path = os.environ.get("KELMO_RECORD_LIBRARY") or os.path.join(os.path.dirname(library_path()), name)
    try:
        dll = ctypes.CDLL(path)
    except OSError as e:
        raise KelmoError(f"the writers of files cannot be loaded from {path} ({e}); build or install kelmo with its "
                         "tools (libkelmo-record), or set KELMO_RECORD_LIBRARY") from None
    dll.kelmo_record_open.restype = c_void_p
    dll.kelmo_record_open.argtypes = [POINTER(_Target)]
    dll.kelmo_record_block.restype = c_int
    dll.kelmo_record_block.argtypes = [c_void_p, c_void_p, c_int, c_int]
    dll.kelmo_record_finish.restype = c_int
    dll.kelmo_record_finish.argtypes = [c_void_p]
    dll.kelmo_record_raw_line.restype = c_int
    dll.kelmo_record_raw_line.argtypes = [c_int32, c_int32, POINTER(c_int32), POINTER(c_double), POINTER(c_double)]
    for name in ("kelmo_record_reason", "kelmo_record_close", "kelmo_record_formats"):
        if not hasattr(dll, name):
            raise KelmoError(f"{path} is an older libkelmo-record without {name}; use the one built with this "
                             "package's kelmo (or set KELMO_RECORD_LIBRARY to it)")
    dll.kelmo_record_reason.restype = c_int
    dll.kelmo_record_reason.argtypes = [c_void_p, c_char_p, c_int]
    dll.kelmo_record_close.restype = c_int
    dll.kelmo_record_close.argtypes = [c_void_p, c_char_p, c_int]
    dll.kelmo_record_formats.restype = c_int
    dll.kelmo_record_formats.argtypes = [c_char_p, c_int]
    _record = dll
    return dll


def _text(fill) -> str:
    """The text a writers' call of the form fill(buf, size) -> length gives."""
    n = fill(None, 0)
    buf = ctypes.create_string_buffer(n + 1)
    fill(buf, n + 1)
    return buf.value.decode("utf-8", errors="replace")


def _reason(dll: ctypes.CDLL, handle) -> str:
    """Why the recording ``handle`` failed (None: why this thread's last
    opening gave no recording), in the writers' words."""
    return _text(lambda buf, size: dll.kelmo_record_reason(handle, buf, size)) or "the writer gave no reason"


def formats() -> tuple[str, ...]:
    """The formats the writers know, as ``format`` takes them ("csv",
    "wav", "flac", "npy", "h5", "sr"): the table ``kelmo acquire -O``
    takes its names from. (A build without a format's library says so when
    a file of it is opened.)"""
    return tuple(_text(_writers().kelmo_record_formats).split())


def published_parameters() -> list[str]:
    """The simulated source's parameters as genwave publishes them now, one
    line per entry in use; empty when none are published or genwave is not
    found (``$KELMO_GENWAVE``, beside the library, in ../bin, on PATH)."""
    here = os.path.dirname(library_path())
    name = "GENWAVE.exe" if os.name == "nt" else "genwave"
    for candidate in (os.environ.get("KELMO_GENWAVE"), os.path.join(here, name),
                      os.path.join(here, "..", "bin", name), shutil.which(name)):
        if candidate and os.path.isfile(candidate):
            try:
                done = subprocess.run([candidate, "--published"], capture_output=True, timeout=10, check=False)
            except (OSError, subprocess.TimeoutExpired):
                return []
            if done.returncode != 0:
                return []
            return [line for line in done.stdout.decode("utf-8", errors="replace").splitlines() if line]
    return []


def check_target(path: str | bytes | PathLike, format: str | None) -> bytes:
    """The file name as the writers take it, once it and ``format`` are
    known to be ones they can write; ValueError saying why not."""
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError(f"path {os.fsdecode(encoded)!r}: a file name cannot hold a NUL byte (the file would be "
                         "named by what comes before it); give the name without it")
    if format is not None and format not in formats():
        raise ValueError(f"format {format!r}: no writer writes it; give one of {', '.join(formats())}, "
                         "or None to take it from the file's extension")
    return encoded


class FileWriter:
    """One file being written, block after block (see :meth:`Stream.record`
    and :meth:`Card.record`). :meth:`write` hands a block to the writer's
    queue and returns at once; :meth:`close` completes the file. A failure
    (a full disk, a disk slower than the acquisition for longer than
    ``buffer`` seconds) raises :class:`KelmoError` with the writer's words;
    the file then holds every sample before it and its readers open it.
    """

    def __init__(self, path: str | PathLike[str], *, rate: float, channels: Sequence[int], card_type: int,
                 full_scale: float, gain: int = 1, divider: int = 0, raw_bytes: int = 0, format: str | None = None,
                 compress: bool = False, buffer: float = 4.0):
        encoded = check_target(path, format)
        self.path = os.fsdecode(encoded)
        self.samples = 0
        self._dll = _writers()
        self._raw = None
        if raw_bytes:
            signed, scale, offset = c_int32(0), c_double(0.0), c_double(0.0)
            if not self._dll.kelmo_record_raw_line(card_type, raw_bytes, ctypes.byref(signed), ctypes.byref(scale),
                                                   ctypes.byref(offset)):
                raise KelmoError(f"the raw words of card type {card_type} do not map onto its values by a scale "
                                 "and an offset; record its values instead", card_type=card_type)
            self._raw = (np.dtype(f"{'i' if signed.value else 'u'}{raw_bytes}"), signed.value, scale.value,
                         offset.value)
        numbers = (c_int32 * len(channels))(*channels)
        simulated = lib.kelmo_card_source(int(card_type)) == 1  # KELMO_SOURCE_SIMULATED
        fmt = (format or "").encode()
        parameters = "\n".join(published_parameters()).encode() if simulated else None
        target = _Target(encoded, fmt or None, float(rate), len(channels), numbers, float(full_scale),
                         int(card_type), int(gain), int(divider), int(bool(compress)), int(raw_bytes),
                         self._raw[1] if self._raw else 1, self._raw[2] if self._raw else 1.0,
                         self._raw[3] if self._raw else 0.0, parameters, float(buffer))
        self._pid = os.getpid()  # the process whose writer thread completes the file
        self._handle = self._dll.kelmo_record_open(ctypes.byref(target))
        if not self._handle:
            raise KelmoError(f"{self.path} cannot be written: {_reason(self._dll, None)}")

    def write(self, data: np.ndarray) -> None:
        """One block shaped (channels, samples): values, or raw words as the
        stream gives them (their bits are read as the card's words)."""
        if not self._handle:
            raise KelmoError(f"{self.path} is closed")
        if self._pid != os.getpid():
            raise KelmoError(f"{self.path} is written by process {self._pid}; this process came from it by fork() "
                             "and opens a file of its own")
        data = np.asarray(data)
        if self._raw is not None:
            data = data.view(self._raw[0]) if data.dtype.itemsize == self._raw[0].itemsize else data
        block = np.ascontiguousarray(data, dtype=np.float64)
        if block.ndim != 2:
            raise ValueError("write: a block shaped (channels, samples)")
        channels, samples = block.shape
        if samples == 0:
            return
        if not self._dll.kelmo_record_block(self._handle, block.ctypes.data, samples, samples):
            said = _reason(self._dll, self._handle)
            self.close(quiet=True)
            raise KelmoError(f"writing {self.path} failed: {said}")
        self.samples += samples

    def close(self, quiet: bool = False) -> None:
        """Completes and closes the file (safe to call more than once)."""
        if not self._handle:
            return
        handle, self._handle = self._handle, None
        if self._pid != os.getpid():
            return  # a copy made by fork(): the writer and its thread are the other process's
        why = ctypes.create_string_buffer(4096)
        ok = self._dll.kelmo_record_close(handle, why, len(why))
        if not ok and not quiet:
            said = why.value.decode("utf-8", errors="replace") or "the writer gave no reason"
            raise KelmoError(f"writing {self.path} failed: {said}")

    def __enter__(self) -> "FileWriter":
        return self

    def __exit__(self, *exc) -> None:
        self.close(quiet=exc[0] is not None)

    def __del__(self):
        try:
            self.close(quiet=True)
        except Exception:
            pass


class Follow:
    """Follows a recording while ``kelmo acquire -o`` (or
    :meth:`Stream.record`) writes it: iterating yields the samples that came
    since the last item, an array of (channels, n) as the file holds them,
    as soon as the writer has put them there. For ``.h5`` (read as it grows
    through HDF5's single-writer/multiple-reader mode, with h5py) and
    ``.npy`` (whose header counts the samples written). The iteration ends
    once the file has not grown for ``idle`` seconds (None: never; a file
    not there yet is waited for as long), checked every ``poll`` seconds.
    ``rate`` and ``channels`` are the run's, once the first item came."""

    def __init__(self, path: str | PathLike[str], *, idle: float | None = 5.0, poll: float = 0.2):
        self.path = os.fspath(path)
        ext = os.path.splitext(self.path)[1].lower()
        if ext not in (".h5", ".npy"):
            raise ValueError(f"follow: {self.path}: only .h5 and .npy recordings can be followed as they grow")
        self.kind = ext[1:]
        self.idle = idle
        self.poll = poll
        self.rate = float("nan")
        self.channels: tuple[int, ...] = ()
        self.samples = 0  # per channel, yielded so far

    def __iter__(self):
        import time

        last = time.monotonic()
        source = None
        try:
            while True:
                if source is None:
                    source = self._open()
                got = source() if source is not None else None
                if got is not None and got.shape[1] > 0:
                    self.samples += got.shape[1]
                    last = time.monotonic()
                    yield got
                    continue
                if self.idle is not None and time.monotonic() - last > self.idle:
                    return
                time.sleep(self.poll)
        finally:
            if source is not None:
                source.close()

    def _open(self):
        """A reader of what came since its last call; None while the file
        cannot be opened yet (not there, or its writer not yet past its
        start). A pipe, a device or a folder under the name is refused:
        opening one could wait for ever, and no recording grows there."""
        import stat

        try:
            mode = os.stat(self.path).st_mode
        except OSError:
            return None
        if not stat.S_ISREG(mode):
            raise ValueError(f"follow: {self.path} is not a regular file (a pipe, a device or a folder): "
                             "a recording that grows in place is a file; name the recording's file")
        try:
            return _H5Reader(self) if self.kind == "h5" else _NpyReader(self)
        except (OSError, ValueError, KeyError):
            return None


class _H5Reader:
    def __init__(self, follow: Follow):
        import h5py

        self.file = h5py.File(follow.path, "r", swmr=True)
        try:
            self.data = self.file["run/samples"]
            attrs = self.file["run"].attrs
            follow.rate = float(attrs["rate"])
            follow.channels = tuple(int(c) for c in attrs["channels"])
        except BaseException:
            self.file.close()
            raise
        self.have = 0

    def __call__(self):
        self.data.refresh()
        n = self.data.shape[1]
        if n <= self.have:
            return None
        out = self.data[:, self.have:n]
        self.have = n
        return out

    def close(self):
        self.file.close()


class _NpyReader:
    def __init__(self, follow: Follow):
        import json

        self.path = follow.path
        self.have = 0
        with open(self.path, "rb") as f:
            self._header(f)
        facts = os.path.splitext(self.path)[0] + ".json"
        if not os.path.exists(facts) or facts == self.path:
            facts = self.path + ".json"
        with open(facts, encoding="utf-8") as f:
            j = json.load(f)
        follow.rate = float(j["rate"])
        follow.channels = tuple(int(c) for c in j["channels"])

    def _header(self, f):
        version = np.lib.format.read_magic(f)
        read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
        shape, fortran, dtype = read(f)
        if len(shape) != 2 or not fortran:
            raise ValueError(f"{self.path}: not a recording of kelmo's (shape {shape})")
        return shape, dtype, f.tell()

    def __call__(self):
        with open(self.path, "rb") as f:
            (channels, n), dtype, start = self._header(f)
            if n <= self.have:
                return None
            f.seek(start + self.have * channels * dtype.itemsize)
            raw = np.frombuffer(f.read((n - self.have) * channels * dtype.itemsize), dtype=dtype)
        got = raw.size // channels
        self.have += got
        return raw[:got * channels].reshape(got, channels).T.copy()

    def close(self):
        pass


def follow(path: str | PathLike[str], *, idle: float | None = 5.0, poll: float = 0.2) -> Follow:
    """A recording followed as it grows; see :class:`Follow`::

        for samples in kelmo.files.follow("run.h5"):
            print(samples.shape)          # (channels, n): what came since
    """
    return Follow(path, idle=idle, poll=poll)
